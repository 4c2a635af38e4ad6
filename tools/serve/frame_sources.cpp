// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading a buffer's newest frame, in whatever format it has, into a GStreamer buffer and keeping
// its JPEG per width.
#include "http_frame_source.h"

#include <gst/video/video.h>

namespace zorvgst_serve {

namespace {

// Widths asked for at once per buffer (the page's thumbnails, a few stream sizes); beyond that
// the cache starts over rather than grow with every width a client makes up.
constexpr std::size_t cached_widths = 4;
// Copies of a frame whose buffer was made anew under them before the request is given up.
constexpr int copy_attempts = 2;

} // namespace

frame_source::frame_source(const std::string& name) : reader_(name) {}

std::shared_ptr<const encoded_frame> frame_source::newest(unsigned out_width) {
    std::optional<zorvgst::frame_info> header = reader_.newest();
    if (!header) {
        // After a resize, newest() sees the new buffer only once wait() has moved the reader
        // onto it; a zero timeout never blocks.
        reader_.wait(std::chrono::nanoseconds(0));
        header = reader_.newest();
    }
    if (!header || header->width == 0 || header->height == 0) {
        return nullptr;
    }
    auto& cached = by_width_[out_width];
    // A restarted writer counts from 1 again: the time tells its frames from the old ones.
    if (cached && cached->info.number == header->number &&
        cached->info.written == header->written) {
        return cached;
    }
    for (int attempt = 0; attempt < copy_attempts; ++attempt) {
        const std::optional<zorvgst::frame_format> format = reader_.format();
        if (!format) {
            return nullptr;
        }
        std::optional<zorvgst::frame_info> info;
        GstBuffer* frame = copy_frame(*format, info);
        // The writer may have made its buffer anew in between, for frames of another size or
        // format: the copy is then of neither, and the next attempt takes the new one.
        const bool whole = frame != nullptr && info && reader_.format() == format &&
                           info->width == format->width && info->height == format->height;
        std::optional<std::string> jpeg;
        if (whole) {
            jpeg = encoder_.encode(frame, *format, out_width);
        }
        if (frame != nullptr) {
            gst_buffer_unref(frame);
        }
        if (jpeg) {
            if (by_width_.size() > cached_widths) {
                by_width_.clear();
            }
            auto result =
                std::make_shared<const encoded_frame>(encoded_frame{*info, std::move(*jpeg)});
            by_width_[out_width] = result;
            return result;
        }
        if (whole) {
            return nullptr; // the encoder failed: another copy would fail the same way
        }
    }
    return nullptr;
}

GstBuffer* frame_source::copy_frame(const zorvgst::frame_format& format,
                                    std::optional<zorvgst::frame_info>& info) {
    GstBuffer* frame = gst_buffer_new_allocate(nullptr, format.size, nullptr);
    GstMapInfo map;
    if (frame == nullptr || !gst_buffer_map(frame, &map, GST_MAP_WRITE)) {
        if (frame != nullptr) {
            gst_buffer_unref(frame);
        }
        return nullptr;
    }
    try {
        info = reader_.copy(map.data, map.size);
    } catch (const zorvgst::error&) {
        // Made anew for larger frames since format(): the next attempt sees the new size.
    }
    gst_buffer_unmap(frame, &map);
    // Planes where the writer put them, which need not be where GStreamer would.
    gsize offsets[GST_VIDEO_MAX_PLANES] = {};
    gint strides[GST_VIDEO_MAX_PLANES] = {};
    for (unsigned i = 0; i < format.planes && i < GST_VIDEO_MAX_PLANES; ++i) {
        offsets[i] = format.plane[i].offset;
        strides[i] = static_cast<gint>(format.plane[i].stride);
    }
    gst_buffer_add_video_meta_full(frame, GST_VIDEO_FRAME_FLAG_NONE,
                                   gst_video_format_from_string(format.name.c_str()), format.width,
                                   format.height, format.planes, offsets, strides);
    return frame;
}

frame_source& frame_sources::get(const std::string& name) {
    entry& found = sources_[name];
    if (!found.source) {
        found.source = std::make_unique<frame_source>(name);
    }
    found.used = std::chrono::steady_clock::now();
    return *found.source;
}

} // namespace zorvgst_serve
