// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading a buffer's newest frame into a GStreamer buffer and keeping its JPEG per width.
#include "http_frame_source.h"

namespace zorvgst_serve {

namespace {

// Widths asked for at once per buffer (the page's thumbnails, a few stream sizes); beyond that
// the cache starts over rather than grow with every width a client makes up.
constexpr std::size_t cached_widths = 4;

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
    const std::size_t bytes = std::size_t{header->width} * header->height * 4;
    GstBuffer* frame = gst_buffer_new_allocate(nullptr, bytes, nullptr);
    GstMapInfo map;
    std::optional<zorvgst::frame_info> info;
    if (gst_buffer_map(frame, &map, GST_MAP_WRITE)) {
        try {
            info = reader_.read(map.data, std::size_t{header->width} * 4, map.size);
        } catch (const zorvgst::error&) {
            // Resized to something larger since newest(): the next request sees the new size.
        }
        gst_buffer_unmap(frame, &map);
    }
    std::shared_ptr<const encoded_frame> result;
    if (info) {
        // The writer may have shrunk the frame in between: rows are then the new width apart.
        gst_buffer_resize(frame, 0,
                          static_cast<gssize>(std::size_t{info->width} * info->height * 4));
        if (auto jpeg = encoder_.encode(frame, info->width, info->height, out_width)) {
            if (by_width_.size() > cached_widths) {
                by_width_.clear();
            }
            result = std::make_shared<const encoded_frame>(encoded_frame{*info, std::move(*jpeg)});
            by_width_[out_width] = result;
        }
    }
    gst_buffer_unref(frame);
    return result;
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
