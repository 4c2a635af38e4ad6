// SPDX-License-Identifier: LGPL-2.1-or-later
// What the module accepts as a frame array, and the frame numbers and times it hands back.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <zorvgst/backend.h>
#include <zorvgst/frames.h>

namespace zorvpy {

/// An (H, W, 4) uint8 array whose pixels lie 4 bytes apart in rows `row_stride` bytes apart:
/// the layout the frame API copies to and from without a second copy.
struct frame_array {
    std::uint8_t* data = nullptr;
    std::size_t row_stride = 0;
    unsigned width = 0;
    unsigned height = 0;
};

/// The one check of a BGRA frame array, for the module and the package alike. The layout of
/// `given` when the frame API can copy into (`writing`) or from it itself; nothing when it is a
/// frame of another layout (a copy then goes through a contiguous one). Raises TypeError for
/// anything but a numpy array and for a source that is not uint8, ValueError for a destination
/// that is not uint8 (as read() always has), for a shape other than (H, W, 4) and for a
/// read-only destination.
std::optional<frame_array> rows_of(pybind11::handle given, bool writing);

/// "double_buffer" or "ring".
const char* layout_text(zorvgst::buffer_layout layout);

/// The backend a name means; raises ValueError for any other name.
zorvgst::backend backend_from_text(const std::string& text);

/// Sleeps on `wait` in slices short enough that Ctrl-C interrupts it at once: the GIL is released
/// while it sleeps, and pending signals are handled between slices (raising what they raise).
/// `timeout_s` of nothing waits without limit. True when a slice returned true; false when the
/// time passed or `stopped` says another thread ended the wait.
bool wait_interruptibly(const std::optional<double>& timeout_s,
                        const std::function<bool(std::chrono::nanoseconds)>& wait,
                        const std::function<bool()>& stopped);

} // namespace zorvpy
