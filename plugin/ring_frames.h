// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvdbsrc's frames of a frame ring as GstBuffers: the leased slot itself, or a copy.
#pragma once

#include <cstdint>
#include <vector>

#include <gst/gst.h>
#include <gst/video/video.h>

#include <zorvgst/frames.h>

namespace zorvplugin {

/// One frame of a ring, ready to push: a GstVideoMeta with the ring's plane layout and a
/// ZorvFrameMeta are on it.
struct ring_buffer_t {
    GstBuffer* buffer = nullptr; ///< owned by the caller
    bool leased = false;         ///< wraps the leased slot rather than a copy of it
    zorvgst::frame_info info;
    zorvgst::frame_timing timing;
};

/// What ring_frames_t::next() came to.
enum class ring_read_t {
    frame,        ///< a buffer in the expected layout
    nothing,      ///< no whole frame: the writer overtook every copy, or went away
    other_layout, ///< the newest frame has a layout other than the expected one
};

/// Turns the newest frame of a ring into a buffer. A buffer wrapping a leased slot holds the
/// lease until downstream frees it; when the reader may hold no more (its cap, or no reader
/// entry free), the frame is copied into a buffer of a pool instead, so that however long
/// downstream keeps buffers, it never pins the writer's slots beyond the cap.
class ring_frames_t {
public:
    ring_frames_t() = default;
    ~ring_frames_t();
    ring_frames_t(const ring_frames_t&) = delete;
    ring_frames_t& operator=(const ring_frames_t&) = delete;

    /// Expects frames of `format` from now on; copies go into buffers of that size, described
    /// by `caps`.
    void expect(const zorvgst::frame_format& format, GstCaps* caps);
    /// The layout expected; empty (no planes) before expect() and after reset().
    const zorvgst::frame_format& expected() const { return format_; }
    /// Expects nothing and drops the pool of copies.
    void reset();

    /// The newest frame of `reader`, leased if it may hold one more, copied otherwise.
    /// Throws std::runtime_error when it can be neither.
    ring_read_t next(zorvgst::frame_reader& reader, ring_buffer_t& out);

private:
    GstBuffer* wrap(zorvgst::frame_lease lease);
    ring_read_t copy(zorvgst::frame_reader& reader, ring_buffer_t& out);
    void describe(GstBuffer* buffer, const zorvgst::frame_info& info,
                  const zorvgst::frame_timing& timing, const std::uint8_t* metadata,
                  std::size_t metadata_size) const;

    zorvgst::frame_format format_;
    GstVideoFormat video_format_ = GST_VIDEO_FORMAT_UNKNOWN;
    GstBufferPool* pool_ = nullptr;
    std::vector<std::uint8_t> metadata_; // of copies; keeps its capacity from frame to frame
};

} // namespace zorvplugin
