// SPDX-License-Identifier: LGPL-2.1-or-later
// Frame exchange on a POSIX double buffer: slot addresses, publication and waiting for frames.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <zorvgst/posix_double_buffer.h>

#include "internal/buffer_geometry.h"
#include "internal/frame_count_wake.h"
#include "internal/header_updates.h"
#include "internal/log.h"
#include "internal/shm_access.h"

namespace bip = boost::interprocess;
using boost::posix_time::ptime;
using zorvgst::detail::load_acquire;
using zorvgst::detail::store_release;

namespace {

static_assert(sizeof(double_buffer_header_t) == zorvgst::detail::double_buffer_header_bytes);

// Times are compared by their stored bits: not-a-date-time must equal itself, and a change of
// the field is all a waiting reader looks for.
std::int64_t time_bits(const ptime& time) {
    std::int64_t bits;
    std::memcpy(&bits, &time, sizeof(bits));
    return bits;
}

} // namespace

const guint8* posix_double_buffer_t::get_read_address() const {
    double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        ZORV_LOG_ERROR("Cannot Get Read Address -- Header Is Null for: " << name);
        throw std::runtime_error("Cannot Get Read Address -- Header is Null");
    }
    // A reader's mapping is read-only: only a writer may repair the header.
    const zorvgst::detail::slot_choice slot = zorvgst::detail::choose_read_slot(
        header->buffer_indicator, mode == bip::read_write, width, height, region.get_size());
    if (!slot.fits) {
        ZORV_LOG_ERROR(
            "Cannot Get Read Address -- Buffer Dimensions Exceed Shared Memory for: " << name);
        throw std::runtime_error(
            "Cannot Get Read Address -- Buffer Dimensions Exceed Shared Memory");
    }
    if (slot.indicator_valid) {
        ZORV_LOG_TRACE("Read(" << slot.indicator << "): " << name);
    } else {
        ZORV_LOG_ERROR("Invalid Shared Memory Read Buffer Indicator: "
                       << slot.indicator << " for " << name << " -- Returning Read Buffer 0");
    }
    return static_cast<const guint8*>(region.get_address()) + slot.offset;
}

guint8* posix_double_buffer_t::get_write_address() const {
    if (mode == bip::read_only) {
        ZORV_LOG_ERROR(
            "Unexpected Call to get_write_address() On Read Only Double Buffer: " << name);
        throw std::runtime_error(
            "Unexpected Call to get_write_address() On Read Only Double Buffer");
    }
    double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        ZORV_LOG_ERROR("Cannot Get Write Address -- Header Is Null for: " << name);
        throw std::runtime_error("Cannot Get Write Address -- Header is Null");
    }
    const zorvgst::detail::slot_choice slot = zorvgst::detail::choose_write_slot(
        header->buffer_indicator, width, height, region.get_size());
    if (!slot.fits) {
        ZORV_LOG_ERROR(
            "Cannot Get Write Address -- Buffer Dimensions Exceed Shared Memory for: " << name);
        throw std::runtime_error(
            "Cannot Get Write Address -- Buffer Dimensions Exceed Shared Memory");
    }
    if (slot.indicator_valid) {
        ZORV_LOG_TRACE("Write(" << slot.indicator << "): " << name);
    } else {
        ZORV_LOG_ERROR("Invalid Shared Memory Read Buffer Indicator: "
                       << slot.indicator << " for " << name << " -- Returning Writer Buffer 1");
    }
    return static_cast<guint8*>(region.get_address()) + slot.offset;
}

void posix_double_buffer_t::grab_read_sem() {
    if (!is_valid()) {
        throw std::runtime_error("Attempted to Grab Write Sem on Invalid Buffer");
    }
}

void posix_double_buffer_t::release_read_sem() {
    const double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        ZORV_LOG_ERROR("Cannot Release Read Sem -- Header Is Null for: " << name);
        return;
    }
    ZORV_LOG_TRACE("Read: " << load_acquire(header->buffer_indicator) << " @ "
                            << load_acquire(header->last_write_time)
                            << " Frame Count: " << load_acquire(header->frame_count));
}

void posix_double_buffer_t::grab_write_sem() {
    if (!is_valid()) {
        throw std::runtime_error("Attempted to Grab Write Sem on Invalid Buffer");
    }
}

void posix_double_buffer_t::release_write_sem() {
    double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        ZORV_LOG_ERROR("Cannot Release Write Sem -- Header Is Null for: " << name);
        return;
    }
    if (mode == bip::read_only) {
        ZORV_LOG_ERROR(
            "Unexpected Call to release_write_sem() On Read Only Double Buffer: " << name);
        return;
    }
    // Release stores: a reader that sees the new time also sees the flipped indicator, and the
    // indicator is only flipped after every pixel of the frame.
    const boost::posix_time::ptime now = boost::posix_time::microsec_clock::local_time();
    std::uint32_t indicator = 0;
    if (!zorvgst::detail::flip_indicator(header->buffer_indicator, indicator)) {
        ZORV_LOG_ERROR("Last Write Left Buffer Indicator in Invalid State for: "
                       << name << " -- Buffer Indicator: " << indicator);
    }
    zorvgst::detail::stamp_publication(*header, now);
    ZORV_LOG_TRACE("Flipped to: " << load_acquire(header->buffer_indicator) << " @ "
                                  << load_acquire(header->last_write_time)
                                  << " Frame Count: " << load_acquire(header->frame_count));
    if (region.get_size() != 0) {
        region.flush();
    }
    // Readers that sleep in the kernel on the frame count wake now instead of at their next poll.
    zorvgst::detail::wake_publication_readers(zorvgst::detail::frame_count_word(header));
}

void posix_double_buffer_t::wait_for_write(ptime deadline) const {
    const double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        ZORV_LOG_ERROR("Cannot Wait for Write -- Header Is Null for: " << name);
        return;
    }
    const ptime start = load_acquire(header->last_write_time);
    ZORV_LOG_TRACE("Waiting for Write Starting At: " << start);
    const bool deadline_expires = !deadline.is_special();
    const std::uint32_t* count_word = zorvgst::detail::frame_count_word(header);
    while (true) {
        const ptime now = boost::posix_time::microsec_clock::local_time();
        if (deadline_expires && deadline < now) {
            break;
        }
        const std::uint32_t count_seen = __atomic_load_n(count_word, __ATOMIC_ACQUIRE);
        if (time_bits(load_acquire(header->last_write_time)) != time_bits(start)) {
            break;
        }
        // Sleeps on the frame count, which this library's writers wake at once; a writer that
        // does not wake is still seen within the millisecond, as by polling.
        zorvgst::detail::sleep_while_word_is(count_word, count_seen, std::chrono::milliseconds(1));
    }
    ZORV_LOG_TRACE("Write Occurred At: " << load_acquire(header->last_write_time));
}

ptime posix_double_buffer_t::get_last_write_time() const {
    const double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        return ptime();
    }
    return load_acquire(header->last_write_time);
}

void posix_double_buffer_t::reset_last_write_time() const {
    double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        ZORV_LOG_ERROR("Cannot Reset Last Write Time -- Header Is Null for: " << name);
        return;
    }
    if (mode == bip::read_only) {
        ZORV_LOG_ERROR(
            "Unexpected Call to reset_last_write_time() On Read Only Double Buffer: " << name);
        return;
    }
    store_release(header->last_write_time, ptime());
}
