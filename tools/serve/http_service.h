// SPDX-License-Identifier: LGPL-2.1-or-later
// The status page, JSON, snapshots, MJPEG streams and metrics over HTTP (libsoup).
#pragma once

#include <memory>
#include <string>

#include "buffer_catalog.h"
#include "serve_options.h"
#include "server_stats.h"

namespace zorvgst_serve {

/// Runs on the default main context. Read-only: GET and HEAD only.
///   /                      status page (cards with live thumbnails), /app.js, /style.css
///   /api/buffers           the JSON of `zorvgst-shm list --json`
///   /snapshot/NAME.jpg     the newest frame as JPEG (?width= scales it, keeping the aspect)
///   /stream/NAME.mjpeg     multipart/x-mixed-replace JPEG stream, rate-limited
///   /metrics               Prometheus text format
/// With a token, every request needs "Authorization: Bearer T" or "?token=T", else 401.
class http_service {
public:
    http_service(const serve_options& options, const buffer_catalog& catalog, server_stats& stats,
                 std::string rtsp_url_base);
    ~http_service();
    http_service(const http_service&) = delete;
    http_service& operator=(const http_service&) = delete;

    /// Listens and attaches to the default main context. Returns the port it listens on. Throws
    /// std::runtime_error when it cannot listen.
    unsigned start();

private:
    struct state;
    std::unique_ptr<state> state_;
};

} // namespace zorvgst_serve
