// SPDX-License-Identifier: LGPL-2.1-or-later
// How the bytes of one raw video frame are laid out, and what a frame ring carries beside them.
// Standard library only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include <zorvgst/error.h>
#include <zorvgst/export.h>

namespace zorvgst {

/// Where one plane of a frame starts and how far apart its rows are, in bytes.
struct plane_layout {
    std::size_t offset = 0;
    std::size_t stride = 0;
};

inline constexpr unsigned max_frame_planes = 4;

/// A raw video format by its GStreamer name ("BGRA", "NV12", "I420", "GRAY16_LE", ...), the frame
/// size, and where each plane lies in the frame's bytes.
struct ZORVGST_EXPORT frame_format {
    std::string name;
    unsigned width = 0;
    unsigned height = 0;
    unsigned planes = 0;
    std::array<plane_layout, max_frame_planes> plane{};
    /// Bytes of one whole frame, from its first byte to the end of its last plane.
    std::size_t size = 0;

    /// The layout GStreamer gives `name` at this size by default (rows padded as its elements
    /// pad them). Throws zorvgst::error for a name that is no raw video format GStreamer knows
    /// or a size outside 1..max_frame_dimension.
    static frame_format of(const std::string& name, unsigned width, unsigned height);
    /// The same format with rows `strides[i]` bytes apart, planes one after the other.
    static frame_format with_strides(const std::string& name, unsigned width, unsigned height,
                                     const std::array<std::size_t, max_frame_planes>& strides);

    /// Rows of plane `index` (chroma planes of subsampled formats have fewer).
    unsigned plane_height(unsigned index) const;
    /// Bytes of pixels in one row of plane `index`, without padding.
    std::size_t row_bytes(unsigned index) const;
    /// Whether every plane lies inside `size` bytes and no row is shorter than its pixels.
    bool consistent() const;
    /// "video/x-raw, format=(string)NV12, width=(int)..., ..." for this format and size.
    std::string caps() const;

    bool operator==(const frame_format& other) const;
    bool operator!=(const frame_format& other) const { return !(*this == other); }
};

/// What a buffer is made of: the double buffer (two BGRA slots, readers copy) or the frame ring
/// (slots readers lease, any format, timestamps and metadata per frame).
enum class buffer_layout { double_buffer, frame_ring };

/// A frame ring's size, chosen by its writer. The ring holds readers x leases_per_reader + 2
/// slots, so that the writer always finds one nobody holds: it never waits for a reader.
struct ring_options {
    /// Readers that may hold frames at once; more readers copy.
    unsigned readers = 4;
    /// Frames each of them may hold at once; one that holds more copies.
    unsigned leases_per_reader = 2;
    /// Bytes of user metadata each frame may carry.
    std::size_t metadata_bytes = 4096;
};

/// When a frame was captured and for how long it stands, in nanoseconds of CLOCK_MONOTONIC
/// (the same for every process on the machine); -1 when not known.
struct frame_timing {
    std::int64_t pts_ns = -1;
    std::int64_t duration_ns = -1;
    std::uint32_t flags = 0;
};

/// CLOCK_MONOTONIC now, in nanoseconds: the clock of frame_timing.
ZORVGST_EXPORT std::int64_t monotonic_now_ns();

} // namespace zorvgst
