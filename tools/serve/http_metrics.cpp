// SPDX-License-Identifier: LGPL-2.1-or-later
// Writing the Prometheus text of /metrics.
#include "http_metrics.h"
#include <functional>
#include <sstream>

#include "tools/common/buffer_report.h"

namespace zorvgst_serve {

std::string metric_label(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

struct family {
    const char* name;
    const char* type;
    const char* help;
};

/// A gauge with up to six decimals, as the rates and ages need no more.
std::string decimal(double value) {
    std::ostringstream out;
    out.precision(6);
    out << std::fixed << value;
    return out.str();
}

void header(std::ostream& out, const family& metric) {
    out << "# HELP " << metric.name << ' ' << metric.help << "\n# TYPE " << metric.name << ' '
        << metric.type << '\n';
}

} // namespace

std::string format_metrics(const std::vector<zorvgst::buffer_status>& buffers,
                           const buffer_catalog& catalog, const server_stats& stats,
                           std::chrono::system_clock::time_point now) {
    std::ostringstream out;
    using status = zorvgst::buffer_status;
    // One family after the other, as the format wants: each buffer's value, or none to omit it.
    struct buffer_family {
        family metric;
        std::function<std::optional<std::string>(const status&)> value;
    };
    const buffer_family buffer_families[] = {
        {{"zorvgst_buffer_frames_total", "counter",
          "Frames the writer published since it started."},
         [](const status& s) { return std::to_string(s.frame_count); }},
        {{"zorvgst_buffer_fps", "gauge", "Frames per second over the last second."},
         [&catalog](const status& s) { return decimal(catalog.fps(s.name)); }},
        {{"zorvgst_buffer_age_seconds", "gauge", "Seconds since the newest frame was published."},
         [now](const status& s) -> std::optional<std::string> {
             const double age = zorvgst_tools::age_ms(s, now);
             return age < 0 ? std::nullopt : std::optional<std::string>(decimal(age / 1000.0));
         }},
        {{"zorvgst_buffer_owner_alive", "gauge", "1 while the writing process exists."},
         [](const status& s) { return std::string(s.owner_alive ? "1" : "0"); }},
    };
    for (const auto& [metric, value] : buffer_families) {
        header(out, metric);
        for (const auto& buffer : buffers) {
            if (const auto v = value(buffer)) {
                out << metric.name << "{buffer=\"" << metric_label(buffer.name) << "\",backend=\""
                    << zorvgst::backend_name(buffer.backend) << "\"} " << *v << '\n';
            }
        }
    }
    header(out, {"zorvgst_clients", "gauge", "Clients watching now, by protocol."});
    out << "zorvgst_clients{protocol=\"rtsp\"} " << stats.rtsp_clients.load() << '\n'
        << "zorvgst_clients{protocol=\"http_stream\"} " << stats.http_streams.load() << '\n';
    header(out, {"zorvgst_http_requests_total", "counter", "HTTP requests answered."});
    out << "zorvgst_http_requests_total " << stats.http_requests.load() << '\n';
    header(out, {"zorvgst_refused_clients_total", "counter", "Clients turned away at the limit."});
    out << "zorvgst_refused_clients_total{protocol=\"rtsp\"} " << stats.rtsp_refused.load() << '\n'
        << "zorvgst_refused_clients_total{protocol=\"http_stream\"} " << stats.http_refused.load()
        << '\n';
    return out.str();
}

} // namespace zorvgst_serve
