// SPDX-License-Identifier: LGPL-2.1-or-later
// What both reader targets run: an object planted as a hostile writer leaves it, read through
// handles as a consumer would read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/interprocess/interprocess_fwd.hpp>
#include <glib.h>

#include "fuzz_support.h"

namespace zorvfuzz {

/// Touches every page of the slot a reader was handed, as a consumer copying it would.
inline std::uint8_t touch(const guint8* slot, std::uint64_t bytes) {
    std::uint8_t sum = 0;
    for (std::uint64_t i = 0; i < bytes; i += 4096) {
        sum = static_cast<std::uint8_t>(sum + slot[i]);
    }
    return bytes == 0 ? sum : static_cast<std::uint8_t>(sum + slot[bytes - 1]);
}

/// Runs `attach(reader)`, then reads the newest slot whole, then waits with a deadline already
/// past (`past_deadline`, on the clock the backend's wait compares with) and asks for the
/// publication time. The handle refuses a bad header with a runtime error: caught up to the read.
template <typename Reader, typename Attach>
void read_as_consumer(Reader& reader, Attach attach, boost::posix_time::ptime past_deadline) {
    try {
        attach(reader);
        reader.grab_read_sem();
        const guint8* slot = reader.get_read_address();
        touch(slot, std::uint64_t{reader.get_width()} * reader.get_height() * 4);
    } catch (const std::runtime_error&) {
    }
    reader.release_read_sem();
    reader.wait_for_write(past_deadline);
    reader.get_last_write_time();
}

/// One run of a reader target. The input gives the object's size (from `min_size` up to 4 MiB:
/// room for real frames, small enough to stay fast) and the dimensions a reader expects; the rest
/// is the object's first bytes, which `plant(size, bytes, count)` leaves as a hostile writer
/// would. Then one reader adopts the layout the header claims and another expects the input's
/// dimensions; `exercise` reads each once it is open, and `while_open()` runs before they close.
/// False when the object could not be planted.
template <typename Reader, typename Plant, typename Exercise, typename WhileOpen>
bool read_planted(input in, std::size_t min_size, const std::string& name, Plant plant,
                  Exercise exercise, WhileOpen while_open) {
    const std::size_t object_size =
        min_size + in.take_upto(static_cast<std::uint32_t>((4u << 20) - min_size));
    const std::uint32_t expected_width = in.take_upto(2048);
    const std::uint32_t expected_height = in.take_upto(2048);
    if (!plant(object_size, in.rest(), in.rest_size())) {
        return false;
    }
    Reader adopting(name.c_str(), boost::interprocess::read_only);
    exercise(adopting);
    Reader expecting(name.c_str(), boost::interprocess::read_only, expected_width, expected_height);
    exercise(expecting);
    while_open();
    return true;
}

} // namespace zorvfuzz
