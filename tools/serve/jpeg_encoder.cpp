// SPDX-License-Identifier: LGPL-2.1-or-later
// The persistent JPEG pipeline of zorvgst-serve's snapshots and MJPEG streams, for frames of any
// raw format.
#include "jpeg_encoder.h"
#include <algorithm>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "yuv_format.h"

namespace zorvgst_serve {

namespace {

// A frame that takes longer than this is given up, so that a wedged pipeline cannot hold the
// main loop.
constexpr GstClockTime encode_timeout = GST_SECOND;

/// The picture jpegenc is given: RGB for YUV frames (see is_yuv_format), so that jpegenc makes
/// the full-range YUV of JPEG itself; otherwise whatever jpegenc takes closest to the frames.
GstCaps* output_caps(unsigned width, unsigned height, bool yuv) {
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, static_cast<int>(width),
                                        "height", G_TYPE_INT, static_cast<int>(height), "framerate",
                                        GST_TYPE_FRACTION, 0, 1, nullptr);
    if (yuv) {
        gst_caps_set_simple(caps, "format", G_TYPE_STRING, "BGRx", nullptr);
    }
    return caps;
}

/// The caps the frames' writer describes them with, as still pictures, every field spelt out
/// (the colorimetry GStreamer assumes for the format and size included); null for a format
/// GStreamer does not know.
GstCaps* input_caps(const zorvgst::frame_format& format) {
    const std::string described = format.caps();
    GstCaps* caps = described.empty() ? nullptr : gst_caps_from_string(described.c_str());
    if (caps == nullptr) {
        return nullptr;
    }
    GstVideoInfo info;
    const bool known = gst_caps_is_fixed(caps) && gst_video_info_from_caps(&info, caps);
    gst_caps_unref(caps);
    if (!known) {
        return nullptr;
    }
    GST_VIDEO_INFO_FPS_N(&info) = 0;
    GST_VIDEO_INFO_FPS_D(&info) = 1;
    return gst_video_info_to_caps(&info);
}

/// The size of the picture made of a `width` x `height` frame for `out_width` (see encode()).
std::pair<unsigned, unsigned> output_size(unsigned width, unsigned height, unsigned out_width) {
    if (out_width == 0 || width == 0 || out_width >= width) {
        return {width, height};
    }
    out_width = std::max(out_width, 16u);
    const unsigned long long scaled =
        (static_cast<unsigned long long>(height) * out_width + width / 2) / width;
    return {out_width, static_cast<unsigned>(std::max(1ull, scaled))};
}

/// Streaming threads enter with this message on their own thread: there they give way to the
/// server's main loop, which answers every client, whenever the cores are short.
GstBusSyncReply lower_streaming_priority(GstBus*, GstMessage* message, gpointer) {
    GstStreamStatusType type{};
    GstElement* owner = nullptr;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_STREAM_STATUS) {
        gst_message_parse_stream_status(message, &type, &owner);
        if (type == GST_STREAM_STATUS_TYPE_ENTER) {
            lower_thread_priority();
        }
        // Nobody reads this bus: what was handled here would only pile up on it.
        return GST_BUS_DROP;
    }
    return GST_BUS_PASS;
}

} // namespace

void lower_thread_priority() {
    // On Linux the nice value belongs to the thread, not the process.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), encoder_nice);
}

void jpeg_encoder::stop_and_unref::operator()(GstElement* pipeline) const {
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
}

void jpeg_encoder::build() {
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(
        "appsrc name=source format=time block=false ! videoconvert ! videoscale ! "
        "capsfilter name=filter ! jpegenc quality=80 ! appsink name=sink sync=false",
        &error);
    if (error != nullptr) {
        // A missing element: every request is answered without a picture rather than crashing.
        g_error_free(error);
        if (pipeline) {
            gst_object_unref(pipeline);
        }
        return;
    }
    pipeline_.reset(pipeline);
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(bus, lower_streaming_priority, nullptr, nullptr);
    gst_object_unref(bus);
    // The bin keeps its children; these pointers live as long as pipeline_.
    const auto child = [pipeline](const char* name) {
        GstElement* element = gst_bin_get_by_name(GST_BIN(pipeline), name);
        gst_object_unref(element);
        return element;
    };
    source_ = child("source");
    filter_ = child("filter");
    sink_ = child("sink");
    in_format_ = zorvgst::frame_format{};
    out_width_ = out_height_ = 0;
    out_yuv_ = false;
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
}

std::optional<std::string>
jpeg_encoder::encode(GstBuffer* frame, const zorvgst::frame_format& format, unsigned out_width) {
    if (!pipeline_) {
        build();
        if (!pipeline_) {
            return std::nullopt;
        }
    }
    const auto [target_width, target_height] = output_size(format.width, format.height, out_width);
    if (format != in_format_) {
        GstCaps* caps = input_caps(format);
        if (caps == nullptr) {
            return std::nullopt;
        }
        gst_app_src_set_caps(GST_APP_SRC(source_), caps);
        gst_caps_unref(caps);
        in_format_ = format;
    }
    const bool yuv = is_yuv_format(format.name);
    if (target_width != out_width_ || target_height != out_height_ || yuv != out_yuv_) {
        GstCaps* caps = output_caps(target_width, target_height, yuv);
        g_object_set(filter_, "caps", caps, nullptr);
        gst_caps_unref(caps);
        out_width_ = target_width;
        out_height_ = target_height;
        out_yuv_ = yuv;
    }
    if (gst_app_src_push_buffer(GST_APP_SRC(source_), gst_buffer_ref(frame)) != GST_FLOW_OK) {
        pipeline_.reset();
        return std::nullopt;
    }
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), encode_timeout);
    if (!sample) {
        // An error or a stall: the next frame gets a fresh pipeline rather than a late answer.
        pipeline_.reset();
        return std::nullopt;
    }
    std::optional<std::string> jpeg;
    GstMapInfo map;
    GstBuffer* encoded = gst_sample_get_buffer(sample);
    if (encoded && gst_buffer_map(encoded, &map, GST_MAP_READ)) {
        jpeg.emplace(reinterpret_cast<const char*>(map.data), map.size);
        gst_buffer_unmap(encoded, &map);
    }
    gst_sample_unref(sample);
    return jpeg;
}

} // namespace zorvgst_serve
