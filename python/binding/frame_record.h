// SPDX-License-Identifier: LGPL-2.1-or-later
// FrameInfo: what the module says about one frame, as a record with named read-only fields.
#pragma once

#include <cstdint>
#include <optional>

#include <pybind11/pybind11.h>

#include <zorvgst/frames.h>

namespace zorvpy {

/// One frame as Python sees it: the frame_info fields, the time as integer nanoseconds since the
/// epoch (exact, where a datetime rounds to microseconds), and a ring frame's timing.
struct frame_record {
    std::uint64_t number = 0;
    std::int64_t written_ns = 0;
    unsigned width = 0;
    unsigned height = 0;
    /// CLOCK_MONOTONIC nanoseconds; nothing on a double buffer or where the writer gave none.
    std::optional<std::int64_t> pts_ns;
    std::optional<std::int64_t> duration_ns;
    std::uint32_t flags = 0;
};

/// The record of `info`; with the timing of a ring's frame when given.
frame_record record_of(const zorvgst::frame_info& info,
                       const zorvgst::frame_timing* timing = nullptr);

void add_frame_record(pybind11::module_& module);

} // namespace zorvpy
