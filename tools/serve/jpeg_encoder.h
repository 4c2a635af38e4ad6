// SPDX-License-Identifier: LGPL-2.1-or-later
// Raw frames of any format to JPEG through one small GStreamer pipeline that lives as long as the
// encoder.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <gst/gst.h>

#include <zorvgst/frame_format.h>

namespace zorvgst_serve {

/// The nice value of the threads that encode: below the main loop's.
constexpr int encoder_nice = 10;
/// Gives the calling thread the encoders' priority.
void lower_thread_priority();

/// appsrc ! videoconvert ! videoscale ! capsfilter ! jpegenc ! appsink, built once and kept
/// playing; a change of frame format, size or output width only changes caps. One thread at a time.
class jpeg_encoder {
public:
    /// `frame` holds one frame laid out as `format` says (a video meta on it gives the planes).
    /// `out_width` 0 keeps the size; any other is clamped to 16..width, the height following the
    /// aspect. Nothing for a format GStreamer cannot convert, and when the pipeline fails or takes
    /// longer than a second (it is then rebuilt on the next call).
    std::optional<std::string> encode(GstBuffer* frame, const zorvgst::frame_format& format,
                                      unsigned out_width);

private:
    /// Stops the pipeline before letting it go, as GStreamer wants.
    struct stop_and_unref {
        void operator()(GstElement* pipeline) const;
    };

    void build();

    std::unique_ptr<GstElement, stop_and_unref> pipeline_;
    // Owned by the pipeline.
    GstElement* source_ = nullptr;
    GstElement* filter_ = nullptr;
    GstElement* sink_ = nullptr;
    zorvgst::frame_format in_format_;
    unsigned out_width_ = 0, out_height_ = 0;
    bool out_yuv_ = false;
};

} // namespace zorvgst_serve
