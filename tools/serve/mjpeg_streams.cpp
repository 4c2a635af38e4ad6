// SPDX-License-Identifier: LGPL-2.1-or-later
// Writing MJPEG parts, shared between viewers, to libsoup's chunked responses without letting them
// pile up.
#include "mjpeg_streams.h"
#include <algorithm>

namespace zorvgst_serve {

namespace {

// Parts written to the response but not yet sent: one in flight and one waiting.
constexpr unsigned max_unsent_parts = 2;

} // namespace

struct mjpeg_streams::viewer {
    mjpeg_streams* owner = nullptr;
    SoupServerMessage* message = nullptr;
    std::string name;
    unsigned out_width = 0;
    std::chrono::steady_clock::duration interval{};
    std::chrono::steady_clock::time_point due{};
    shared_frame sent;
    unsigned unsent = 0;
    bool ending = false;
    bool present = true;
    std::chrono::steady_clock::time_point checked{};
    gulong wrote_handler = 0;
    gulong finished_handler = 0;
};

mjpeg_streams::mjpeg_streams(const buffer_catalog& catalog, frame_sources& sources,
                             server_stats& stats)
    : catalog_(catalog), sources_(sources), stats_(stats) {
    // A part goes out as soon as its frame is encoded, not at the next tick.
    sources_.on_encoded([this](const std::string&) { tick(); });
}

mjpeg_streams::~mjpeg_streams() {
    sources_.on_encoded(nullptr);
    while (!viewers_.empty()) {
        // The server is going away with its connections: nothing more is written to them.
        close(*viewers_.back());
    }
}

void mjpeg_streams::open(SoupServerMessage* message, const std::string& name, unsigned out_width,
                         unsigned fps) {
    auto watching = std::make_unique<viewer>();
    watching->owner = this;
    watching->message = message;
    g_object_ref(message);
    watching->name = name;
    watching->out_width = out_width;
    watching->interval =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::seconds(1)) /
        std::clamp(fps, 1u, max_fps);
    watching->due = std::chrono::steady_clock::now();

    SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
    soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
    soup_message_headers_replace(headers, "Content-Type", content_type().c_str());
    // Sent parts are dropped from memory at once: the body never grows with the stream.
    soup_message_body_set_accumulate(soup_server_message_get_response_body(message), FALSE);
    soup_server_message_set_status(message, SOUP_STATUS_OK, nullptr);
    watching->wrote_handler =
        g_signal_connect(message, "wrote-chunk", G_CALLBACK(on_wrote_chunk), watching.get());
    watching->finished_handler =
        g_signal_connect(message, "finished", G_CALLBACK(on_finished), watching.get());
    viewers_.push_back(std::move(watching));
    ++stats_.http_streams;
    // Nothing to write yet: libsoup waits for the first part.
    soup_server_message_pause(message);
    tick();
}

std::string mjpeg_streams::content_type() {
    return std::string("multipart/x-mixed-replace;boundary=") + boundary;
}

bool mjpeg_streams::watching(const std::string& name) const {
    return std::any_of(viewers_.begin(), viewers_.end(),
                       [&name](const auto& each) { return each->name == name; });
}

void mjpeg_streams::tick() {
    const auto now = std::chrono::steady_clock::now();
    for (auto& each : viewers_) {
        viewer& v = *each;
        if (v.ending) {
            continue;
        }
        SoupMessageBody* body = soup_server_message_get_response_body(v.message);
        // Looked up once a second: the catalog's own look may be a second old, and miss a
        // buffer that has just appeared.
        if (now >= v.checked + std::chrono::seconds(1)) {
            v.checked = now;
            v.present = catalog_.servable(v.name).has_value();
        }
        if (!v.present) {
            // The buffer went away: the stream ends as a complete response.
            v.ending = true;
            const std::string last = std::string("--") + boundary + "--\r\n";
            soup_message_body_append(body, SOUP_MEMORY_COPY, last.data(), last.size());
            soup_message_body_complete(body);
            soup_server_message_unpause(v.message);
            continue;
        }
        if (now < v.due || v.unsent >= max_unsent_parts) {
            continue;
        }
        shared_frame frame = sources_.follow(v.name, v.out_width);
        if (!frame || frame == v.sent) {
            continue;
        }
        // One chunk per part, so that wrote-chunk counts parts; the same bytes for every viewer.
        soup_message_body_append_bytes(body, frame->part);
        ++v.unsent;
        v.sent = std::move(frame);
        // Due again one interval on, but never in a burst after a stall.
        v.due = std::max(v.due + v.interval, now);
        soup_server_message_unpause(v.message);
    }
}

void mjpeg_streams::close(viewer& gone) {
    g_signal_handler_disconnect(gone.message, gone.wrote_handler);
    g_signal_handler_disconnect(gone.message, gone.finished_handler);
    g_object_unref(gone.message);
    --stats_.http_streams;
    viewers_.remove_if([&gone](const auto& each) { return each.get() == &gone; });
}

void mjpeg_streams::on_wrote_chunk(SoupServerMessage*, gpointer data) {
    auto& v = *static_cast<viewer*>(data);
    if (v.unsent > 0) {
        --v.unsent;
    }
}

void mjpeg_streams::on_finished(SoupServerMessage*, gpointer data) {
    auto& v = *static_cast<viewer*>(data);
    v.owner->close(v);
}

} // namespace zorvgst_serve
