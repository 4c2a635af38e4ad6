// SPDX-License-Identifier: LGPL-2.1-or-later
// What the server counts of its clients, for /metrics and the client limits.
#pragma once

#include <atomic>

namespace zorvgst_serve {

struct server_stats {
    std::atomic<unsigned> rtsp_clients{0};
    std::atomic<unsigned> http_streams{0};
    std::atomic<unsigned long long> http_requests{0};
    std::atomic<unsigned long long> rtsp_refused{0};
    std::atomic<unsigned long long> http_refused{0};
};

} // namespace zorvgst_serve
