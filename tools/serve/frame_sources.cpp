// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading a buffer's newest frame, in whatever format it has, into a GStreamer buffer and keeping
// its JPEG per width, on worker threads that hand their pictures back to the main context.
#include "frame_sources.h"
#include <algorithm>
#include <cstring>

#include <gst/video/video.h>

namespace zorvgst_serve {

namespace {

// Widths asked for at once per buffer (the page's thumbnails, a few stream sizes); beyond that
// the cache starts over rather than grow with every width a client makes up.
constexpr std::size_t cached_widths = 4;
// Copies of a frame whose buffer was made anew under them before the request is given up.
constexpr int copy_attempts = 2;
// Frames encoded at once, of different buffers or widths: more would only share the cores, and
// one core is left to the main loop, the writers and the viewers.
constexpr guint most_workers = 4;

} // namespace

encoded_frame::encoded_frame(const zorvgst::frame_info& frame, const std::string& jpeg_data)
    : info(frame) {
    const std::string head =
        std::string("--") + mjpeg_boundary +
        "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg_data.size()) +
        "\r\n\r\n";
    const std::size_t size = head.size() + jpeg_data.size() + 2;
    auto* data = static_cast<char*>(g_malloc(size));
    std::memcpy(data, head.data(), head.size());
    std::memcpy(data + head.size(), jpeg_data.data(), jpeg_data.size());
    std::memcpy(data + head.size() + jpeg_data.size(), "\r\n", 2);
    part = g_bytes_new_take(data, size);
    jpeg = g_bytes_new_from_bytes(part, head.size(), jpeg_data.size());
}

encoded_frame::~encoded_frame() {
    g_bytes_unref(jpeg);
    g_bytes_unref(part);
}

frame_source::frame_source(const std::string& name) : reader_(name) {}

shared_frame frame_source::newest(unsigned out_width) {
    const std::lock_guard<std::mutex> held(lock_);
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
            auto result = std::make_shared<const encoded_frame>(*info, *jpeg);
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
    // A ring made anew for larger frames since format() answers too_small: the next attempt
    // sizes by the new format.
    const zorvgst::read_result copied = reader_.try_copy(map.data, map.size);
    if (copied) {
        info = copied.info;
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

/// One read and encoding on a worker, and what it hands back.
struct frame_sources::job {
    frame_sources* owner;
    std::shared_ptr<bool> alive;
    std::string name;
    unsigned out_width;
    std::shared_ptr<frame_source> source;
    std::vector<delivery> riding; // answered with this run's frame
    shared_frame result;
    GMainContext* context;

    static void run(gpointer data, gpointer) {
        auto* work = static_cast<job*>(data);
        lower_thread_priority();
        work->result = work->source->newest(work->out_width);
        // An idle source rather than g_main_context_invoke: that would run the result here, on
        // the worker, whenever the loop is not running (as while the server shuts down).
        GSource* back = g_idle_source_new();
        g_source_set_priority(back, G_PRIORITY_DEFAULT);
        g_source_set_callback(
            back,
            [](gpointer done) {
                auto& finished = *static_cast<job*>(done);
                if (*finished.alive) {
                    finished.owner->finished(finished);
                }
                return G_SOURCE_REMOVE;
            },
            work, [](gpointer done) { delete static_cast<job*>(done); });
        g_source_attach(back, work->context);
        g_source_unref(back);
    }
};

bool frame_sources::entry::busy() const {
    return std::any_of(by_width.begin(), by_width.end(),
                       [](const auto& width) { return width.second.running; });
}

frame_sources::frame_sources()
    : context_(g_main_context_ref_thread_default()), alive_(std::make_shared<bool>(true)) {
    const guint workers = std::clamp(g_get_num_processors() - 1, 1u, most_workers);
    // Exclusive: its threads run at a lower priority, which GLib must not hand to other pools.
    pool_ = g_thread_pool_new_full(
        job::run, nullptr, [](gpointer queued) { delete static_cast<job*>(queued); },
        static_cast<gint>(workers), TRUE, nullptr);
}

frame_sources::~frame_sources() {
    *alive_ = false;
    // Frames still queued are dropped; those being encoded are waited for, as their encoders
    // go with them.
    g_thread_pool_free(pool_, TRUE, TRUE);
    g_main_context_unref(context_);
}

void frame_sources::on_encoded(std::function<void(const std::string&)> notify) {
    notify_ = std::move(notify);
}

void frame_sources::request(const std::string& name, unsigned out_width, delivery deliver) {
    entry& found = get(name);
    encoding& wanted = found.by_width[out_width];
    if (wanted.running) {
        // The running read may have begun before the newest frame: the next one answers.
        wanted.waiting.push_back(std::move(deliver));
        return;
    }
    std::vector<delivery> riding;
    riding.push_back(std::move(deliver));
    start(name, found, out_width, std::move(riding));
}

shared_frame frame_sources::follow(const std::string& name, unsigned out_width) {
    entry& found = get(name);
    encoding& wanted = found.by_width[out_width];
    if (!wanted.running) {
        start(name, found, out_width, {});
    }
    return wanted.latest;
}

void frame_sources::start(const std::string& name, entry& found, unsigned out_width,
                          std::vector<delivery> riding) {
    if (found.by_width.size() > cached_widths) {
        // Widths nobody waits for go, as in the source's own cache.
        for (auto it = found.by_width.begin(); it != found.by_width.end();) {
            const bool idle =
                it->first != out_width && !it->second.running && it->second.waiting.empty();
            it = idle ? found.by_width.erase(it) : std::next(it);
        }
    }
    found.by_width[out_width].running = true;
    g_thread_pool_push(
        pool_,
        new job{this, alive_, name, out_width, found.source, std::move(riding), nullptr, context_},
        nullptr);
}

void frame_sources::finished(job& done) {
    for (const delivery& deliver : done.riding) {
        deliver(done.result);
    }
    const auto found = sources_.find(done.name);
    if (found == sources_.end() || found->second.source != done.source) {
        return;
    }
    encoding& wanted = found->second.by_width[done.out_width];
    wanted.running = false;
    // Without a new frame the source hands back the picture it already had: no news for the
    // streams, which would otherwise ask again at once, and again.
    const bool fresh = done.result && done.result != wanted.latest;
    if (fresh) {
        wanted.latest = done.result;
    }
    if (!wanted.waiting.empty()) {
        std::vector<delivery> riding;
        riding.swap(wanted.waiting);
        start(done.name, found->second, done.out_width, std::move(riding));
    }
    if (fresh && notify_) {
        notify_(done.name);
    }
}

frame_sources::entry& frame_sources::get(const std::string& name) {
    entry& found = sources_[name];
    if (!found.source) {
        found.source = std::make_shared<frame_source>(name);
    }
    found.used = std::chrono::steady_clock::now();
    return found;
}

} // namespace zorvgst_serve
