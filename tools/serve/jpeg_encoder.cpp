// SPDX-License-Identifier: LGPL-2.1-or-later
// The persistent JPEG pipeline of zorvgst-serve's snapshots and MJPEG streams.
#include "jpeg_encoder.h"
#include <algorithm>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

namespace zorvgst_serve {

namespace {

// A frame that takes longer than this is given up, so that a wedged pipeline cannot hold the
// main loop.
constexpr GstClockTime encode_timeout = GST_SECOND;

GstCaps* video_caps(const char* format, unsigned width, unsigned height) {
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, static_cast<int>(width),
                                        "height", G_TYPE_INT, static_cast<int>(height), "framerate",
                                        GST_TYPE_FRACTION, 0, 1, nullptr);
    if (format != nullptr) {
        gst_caps_set_simple(caps, "format", G_TYPE_STRING, format, nullptr);
    }
    return caps;
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

} // namespace

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
    // The bin keeps its children; these pointers live as long as pipeline_.
    const auto child = [pipeline](const char* name) {
        GstElement* element = gst_bin_get_by_name(GST_BIN(pipeline), name);
        gst_object_unref(element);
        return element;
    };
    source_ = child("source");
    filter_ = child("filter");
    sink_ = child("sink");
    in_width_ = in_height_ = out_width_ = out_height_ = 0;
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
}

std::optional<std::string> jpeg_encoder::encode(GstBuffer* frame, unsigned width, unsigned height,
                                                unsigned out_width) {
    if (!pipeline_) {
        build();
        if (!pipeline_) {
            return std::nullopt;
        }
    }
    const auto [target_width, target_height] = output_size(width, height, out_width);
    if (width != in_width_ || height != in_height_) {
        GstCaps* caps = video_caps("BGRA", width, height);
        gst_app_src_set_caps(GST_APP_SRC(source_), caps);
        gst_caps_unref(caps);
        in_width_ = width;
        in_height_ = height;
    }
    if (target_width != out_width_ || target_height != out_height_) {
        GstCaps* caps = video_caps(nullptr, target_width, target_height);
        g_object_set(filter_, "caps", caps, nullptr);
        gst_caps_unref(caps);
        out_width_ = target_width;
        out_height_ = target_height;
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
