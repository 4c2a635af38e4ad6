// SPDX-License-Identifier: LGPL-2.1-or-later
// Every servable buffer at rtsp://ADDR:PORT/NAME through GStreamer's RTSP server.
#pragma once

#include <memory>
#include <string>

#include "buffer_catalog.h"
#include "serve_options.h"
#include "server_stats.h"

namespace zorvgst_serve {

/// Runs on the default main context. A buffer's media is made when its first client comes, shared
/// by all its clients, and torn down when the last one leaves; a name that no servable buffer
/// has is answered 404. With a token, clients authenticate as user "zorvgst" with the token as
/// password. At most `max_clients` clients at once; more are turned away.
class rtsp_service {
public:
    rtsp_service(const serve_options& options, const buffer_catalog& catalog, server_stats& stats);
    ~rtsp_service();
    rtsp_service(const rtsp_service&) = delete;
    rtsp_service& operator=(const rtsp_service&) = delete;

    /// Listens and attaches to the default main context. Returns the port it listens on. Throws
    /// std::runtime_error when it cannot listen.
    unsigned start();
    /// "x264" or "jpeg": what clients receive. x264 falls back to JPEG when x264enc is missing.
    std::string encoder() const;

private:
    struct state;
    std::unique_ptr<state> state_;
};

} // namespace zorvgst_serve
