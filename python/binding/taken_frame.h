// SPDX-License-Identifier: LGPL-2.1-or-later
// A frame a reader took from a frame ring: held in shared memory under a lease, or copied.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <pybind11/pybind11.h>

#include <zorvgst/frames.h>

namespace zorvpy {

/// One frame with its format, timing and metadata. Held frames keep their lease, and with it
/// the slot and its mapping, while this object lives: the arrays of its planes keep it alive.
struct taken_frame {
    zorvgst::frame_lease lease;
    /// A copied frame's bytes, laid out as `format` says; empty for a held one.
    std::unique_ptr<std::uint8_t[]> copy;
    zorvgst::frame_format format;
    zorvgst::frame_info info;
    zorvgst::frame_timing timing;
    std::string metadata;

    const std::uint8_t* data() const { return lease ? lease.data() : copy.get(); }
};

/// A held frame, with its metadata copied out of the slot.
std::shared_ptr<taken_frame> take_lease(zorvgst::frame_lease lease);

} // namespace zorvpy
