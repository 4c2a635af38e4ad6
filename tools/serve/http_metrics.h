// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvgst-serve's /metrics page in the Prometheus text format.
#pragma once

#include <chrono>
#include <string>

#include "buffer_catalog.h"
#include "server_stats.h"

namespace zorvgst_serve {

/// A label value with '\', '"' and newlines escaped, as the text format reads them.
std::string metric_label(const std::string& value);

/// Every buffer of `buffers` (frames, age of the newest frame, owner alive, and the rate that
/// `catalog` measured) and the server's clients and requests, each family with its HELP and
/// TYPE lines.
std::string format_metrics(const std::vector<zorvgst::buffer_status>& buffers,
                           const buffer_catalog& catalog, const server_stats& stats,
                           std::chrono::system_clock::time_point now);

} // namespace zorvgst_serve
