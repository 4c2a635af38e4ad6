// SPDX-License-Identifier: LGPL-2.1-or-later
// The HTTP side of zorvgst-serve on libsoup 3: routing, headers, the token, and the answers.
#include "http_service.h"
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include <libsoup/soup.h>

#include "bind_address.h"
#include "frame_sources.h"
#include "http_metrics.h"
#include "http_request.h"
#include "mjpeg_streams.h"
#include "status_page.h"
#include "tools/common/buffer_report.h"

namespace zorvgst_serve {

namespace {

constexpr const char* page_policy = "default-src 'self'; img-src 'self' data:; style-src 'self'; "
                                    "script-src 'self'; frame-ancestors 'none'";
// A source nobody asked for in this long lets its buffer's mapping go.
constexpr auto source_idle = std::chrono::seconds(10);
// How often streams get their parts: as often as the fastest may.
constexpr unsigned tick_ms = 1000 / mjpeg_streams::max_fps;

enum class content { plain, page };

/// Headers every answer carries; the page and its assets also get the content security policy.
void common_headers(SoupServerMessage* message, content kind) {
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
    soup_message_headers_replace(headers, "Cache-Control", "no-store");
    soup_message_headers_replace(headers, "X-Content-Type-Options", "nosniff");
    if (kind == content::page) {
        soup_message_headers_replace(headers, "Content-Security-Policy", page_policy);
    }
}

void respond(SoupServerMessage* message, guint status, const char* type, const std::string& body,
             content kind = content::plain) {
    common_headers(message, kind);
    soup_server_message_set_status(message, status, nullptr);
    soup_server_message_set_response(message, type, SOUP_MEMORY_COPY, body.data(), body.size());
}

/// Answers with `body` itself, shared with every other answer that sends it.
void respond(SoupServerMessage* message, guint status, const char* type, GBytes* body,
             content kind = content::plain) {
    common_headers(message, kind);
    soup_server_message_set_status(message, status, nullptr);
    soup_message_headers_replace(soup_server_message_get_response_headers(message), "Content-Type",
                                 type);
    soup_message_body_append_bytes(soup_server_message_get_response_body(message), body);
}

void respond_error(SoupServerMessage* message, guint status) {
    respond(message, status, "text/plain; charset=utf-8",
            std::to_string(status) + " " + soup_status_get_phrase(status) + "\n");
}

} // namespace

struct http_service::state {
    state(const serve_options& serving, const buffer_catalog& listed, server_stats& counted,
          std::string rtsp_base)
        : options(serving), catalog(listed), stats(counted), rtsp_url_base(std::move(rtsp_base)),
          streams(listed, sources, counted) {}

    const serve_options& options;
    const buffer_catalog& catalog;
    server_stats& stats;
    std::string rtsp_url_base;
    frame_sources sources;
    mjpeg_streams streams;
    SoupServer* server = nullptr;
    guint tick_source = 0;
    unsigned ticks = 0;

    void handle(SoupServerMessage* message, const std::string& path, GHashTable* query);
    /// A snapshot, or with `streaming` an MJPEG stream, of `name`.
    void picture(SoupServerMessage* message, const std::string& name, GHashTable* query,
                 bool streaming);
    /// Answers with the newest frame of `name` once a worker has encoded it.
    void snapshot(SoupServerMessage* message, const std::string& name, unsigned width);
    void page(SoupServerMessage* message, GHashTable* query);
    std::string status_json() const;
    gboolean tick();
};

void http_service::state::handle(SoupServerMessage* message, const std::string& path,
                                 GHashTable* query) {
    ++stats.http_requests;
    const char* method = soup_server_message_get_method(message);
    if (method != SOUP_METHOD_GET && method != SOUP_METHOD_HEAD) {
        soup_message_headers_replace(soup_server_message_get_response_headers(message), "Allow",
                                     "GET, HEAD");
        respond_error(message, SOUP_STATUS_METHOD_NOT_ALLOWED);
        return;
    }
    if (!options.token.empty() &&
        !request_authorized(options.token,
                            soup_message_headers_get_one(
                                soup_server_message_get_request_headers(message), "Authorization"),
                            query)) {
        soup_message_headers_replace(soup_server_message_get_response_headers(message),
                                     "WWW-Authenticate", "Bearer");
        respond_error(message, SOUP_STATUS_UNAUTHORIZED);
        return;
    }
    const auto now = std::chrono::system_clock::now();
    if (path == "/" || path == "/index.html") {
        page(message, query);
    } else if (path == "/app.js") {
        respond(message, SOUP_STATUS_OK, "text/javascript; charset=utf-8", status_page_script(),
                content::page);
    } else if (path == "/style.css") {
        respond(message, SOUP_STATUS_OK, "text/css; charset=utf-8", status_page_style(),
                content::page);
    } else if (path == "/api/buffers") {
        // Listed now rather than taken from the catalog: up to a second fresher.
        std::ostringstream json;
        zorvgst_tools::print_json(json, zorvgst::list_buffers(), now);
        respond(message, SOUP_STATUS_OK, "application/json", json.str());
    } else if (path == "/api/status") {
        respond(message, SOUP_STATUS_OK, "application/json", status_json());
    } else if (path == "/metrics") {
        respond(message, SOUP_STATUS_OK, "text/plain; version=0.0.4; charset=utf-8",
                format_metrics(zorvgst::list_buffers(), catalog, stats, now));
    } else if (const auto snapshot_name = name_in_path(path, "/snapshot/", ".jpg")) {
        picture(message, *snapshot_name, query, false);
    } else if (const auto stream_name = name_in_path(path, "/stream/", ".mjpeg")) {
        picture(message, *stream_name, query, true);
    } else {
        respond_error(message, SOUP_STATUS_NOT_FOUND);
    }
}

void http_service::state::page(SoupServerMessage* message, GHashTable* query) {
    std::string asset_query;
    // A browser sends the page's token with nothing else by itself: the asset links carry it.
    if (!options.token.empty() && query && g_hash_table_lookup(query, "token")) {
        char* escaped = g_uri_escape_string(options.token.c_str(), nullptr, FALSE);
        asset_query = std::string("?token=") + escaped;
        g_free(escaped);
    }
    respond(message, SOUP_STATUS_OK, "text/html; charset=utf-8", status_page_html(asset_query),
            content::page);
}

void http_service::state::picture(SoupServerMessage* message, const std::string& name,
                                  GHashTable* query, bool streaming) {
    if (!catalog.servable(name)) {
        respond_error(message, SOUP_STATUS_NOT_FOUND);
        return;
    }
    const auto width = query_number(query, "width", 16, zorvgst::max_frame_dimension, 0);
    const auto fps = query_number(query, "fps", 1, mjpeg_streams::max_fps, mjpeg_streams::max_fps);
    if (!width || !fps) {
        respond_error(message, SOUP_STATUS_BAD_REQUEST);
        return;
    }
    if (!streaming) {
        snapshot(message, name, *width);
    } else if (soup_server_message_get_method(message) == SOUP_METHOD_HEAD) {
        respond(message, SOUP_STATUS_OK, mjpeg_streams::content_type().c_str(), "");
    } else if (stats.http_streams >= options.max_clients) {
        ++stats.http_refused;
        respond_error(message, SOUP_STATUS_SERVICE_UNAVAILABLE);
    } else {
        common_headers(message, content::plain);
        streams.open(message, name, *width, *fps);
    }
}

void http_service::state::snapshot(SoupServerMessage* message, const std::string& name,
                                   unsigned width) {
    // The client may go before its picture is ready: the answer is then dropped.
    // One owner of the message's reference and of the handler: never copied.
    struct waiting {
        explicit waiting(SoupServerMessage* answered)
            : message(static_cast<SoupServerMessage*>(g_object_ref(answered))) {}
        ~waiting() {
            if (finished_handler != 0) {
                g_signal_handler_disconnect(message, finished_handler);
            }
            g_object_unref(message);
        }
        waiting(const waiting&) = delete;
        waiting& operator=(const waiting&) = delete;

        SoupServerMessage* message;
        gulong finished_handler = 0;
        bool gone = false;
    };
    auto request = std::make_shared<waiting>(message);
    request->finished_handler =
        g_signal_connect(message, "finished", G_CALLBACK(+[](SoupServerMessage*, gpointer data) {
                             static_cast<waiting*>(data)->gone = true;
                         }),
                         request.get());
    soup_server_message_pause(message);
    sources.request(name, width, [request](shared_frame frame) {
        if (request->gone) {
            return;
        }
        if (frame) {
            respond(request->message, SOUP_STATUS_OK, "image/jpeg", frame->jpeg);
            soup_message_body_complete(soup_server_message_get_response_body(request->message));
        } else {
            respond_error(request->message, SOUP_STATUS_SERVICE_UNAVAILABLE);
        }
        soup_server_message_unpause(request->message);
    });
}

std::string http_service::state::status_json() const {
    std::ostringstream json;
    json << "{\n  \"rtsp_clients\": " << stats.rtsp_clients.load()
         << ",\n  \"http_streams\": " << stats.http_streams.load() << ",\n  \"buffers\": [";
    bool first = true;
    // Listed now: the page asks for a snapshot only of a buffer listed here, which then is
    // almost surely still there.
    for (const auto& buffer : zorvgst::list_buffers()) {
        // Only what a client may ask for is listed.
        if (!buffer_catalog::plain_name(buffer.name) ||
            buffer.state == zorvgst::buffer_state::orphan ||
            buffer.state == zorvgst::buffer_state::foreign) {
            continue;
        }
        const bool has_frame =
            buffer.state == zorvgst::buffer_state::ready && buffer.frame_count > 0;
        json << (first ? "\n" : ",\n")
             << "    {\"name\": " << zorvgst_tools::json_string(buffer.name)
             << ", \"fps\": " << std::fixed << std::setprecision(2) << catalog.fps(buffer.name)
             << ", \"has_frame\": " << (has_frame ? "true" : "false")
             << ", \"rtsp_url\": " << zorvgst_tools::json_string(rtsp_url_base + buffer.name)
             << "}";
        first = false;
    }
    json << (first ? "]\n}\n" : "\n  ]\n}\n");
    return json.str();
}

gboolean http_service::state::tick() {
    streams.tick();
    if (++ticks % (1000 / tick_ms) == 0) {
        sources.sweep(source_idle,
                      [this](const std::string& name) { return streams.watching(name); });
    }
    return G_SOURCE_CONTINUE;
}

http_service::http_service(const serve_options& options, const buffer_catalog& catalog,
                           server_stats& stats, std::string rtsp_url_base)
    : state_(std::make_unique<state>(options, catalog, stats, std::move(rtsp_url_base))) {}

http_service::~http_service() {
    if (state_->tick_source != 0) {
        g_source_remove(state_->tick_source);
    }
    if (state_->server) {
        soup_server_disconnect(state_->server);
        g_object_unref(state_->server);
    }
}

unsigned http_service::start() {
    state& self = *state_;
    // Raw paths: a name is decoded once, here, and then checked against the catalog; libsoup
    // would otherwise refuse an encoded "../" itself, as a bad request rather than a missing name.
    self.server = soup_server_new("server-header", "zorvgst-serve", "raw-paths", TRUE, nullptr);
    soup_server_add_handler(
        self.server, nullptr,
        [](SoupServer*, SoupServerMessage* message, const char* path, GHashTable* query,
           gpointer data) { static_cast<state*>(data)->handle(message, path, query); },
        &self, nullptr);

    const std::optional<std::string> bind = listen_address(self.options.bind);
    GInetAddress* address = bind ? g_inet_address_new_from_string(bind->c_str()) : nullptr;
    if (!address) {
        throw std::runtime_error("HTTP: cannot listen on '" + self.options.bind +
                                 "': not an IP address");
    }
    GSocketAddress* socket_address =
        g_inet_socket_address_new(address, static_cast<guint16>(self.options.http_port));
    g_object_unref(address);
    GError* error = nullptr;
    const gboolean listening = soup_server_listen(self.server, socket_address,
                                                  static_cast<SoupServerListenOptions>(0), &error);
    g_object_unref(socket_address);
    if (!listening) {
        const std::string reason = error->message;
        g_error_free(error);
        throw std::runtime_error("HTTP: cannot listen on " + self.options.bind + " port " +
                                 std::to_string(self.options.http_port) + ": " + reason);
    }
    unsigned port = 0;
    GSList* uris = soup_server_get_uris(self.server);
    if (uris) {
        port = static_cast<unsigned>(g_uri_get_port(static_cast<GUri*>(uris->data)));
    }
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));

    self.tick_source = g_timeout_add(
        tick_ms, [](gpointer data) { return static_cast<state*>(data)->tick(); }, &self);
    return port;
}

} // namespace zorvgst_serve
