// SPDX-License-Identifier: LGPL-2.1-or-later
// Buffer snapshot fields shared by the supervisor's output and the Python package.
#include "tools/common/buffer_report.h"
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <iterator>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace pt = boost::posix_time;
using zorvgst::buffer_status;

namespace zorvgst_tools {

namespace {

/// The local time a writer stamped, from the UTC time point the library made of it: the
/// library took the current offset off, and adding it back prints the stamp as stored.
pt::ptime local_time_of(std::chrono::system_clock::time_point time) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    const long offset_s = ::localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
    const auto since_epoch =
        std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()) +
        std::chrono::seconds(offset_s);
    return pt::ptime(boost::gregorian::date(1970, 1, 1)) + pt::microseconds(since_epoch.count());
}

std::string json_text_or_null(const char* text) {
    return text == nullptr || *text == '\0' ? "null" : json_string(text);
}

/// "[{"pid": 12, "alive": true, "count": 2}, ...]": who holds a ring's frames.
std::string json_lease_holders(const buffer_makeup& makeup) {
    std::ostringstream out;
    out << "[";
    if (makeup.ring) {
        const char* separator = "";
        for (const auto& holder : makeup.ring->holders) {
            out << separator << "{\"pid\": " << holder.pid
                << ", \"alive\": " << (holder.alive ? "true" : "false")
                << ", \"count\": " << holder.leases << "}";
            separator = ", ";
        }
    }
    out << "]";
    return out.str();
}

/// A ring's counts, or null for a double buffer and a ring whose counts do not fit its object.
std::string json_ring(const buffer_makeup& makeup) {
    if (!makeup.ring || !makeup.ring->consistent) {
        return "null";
    }
    const zorvgst::ring_report& ring = *makeup.ring;
    std::ostringstream out;
    out << "{\"slots\": " << ring.slots << ", \"readers\": " << ring.readers
        << ", \"leases_per_reader\": " << ring.leases_per_reader
        << ", \"metadata_capacity\": " << ring.metadata_capacity
        << ", \"frame_bytes\": " << ring.frame_bytes << "}";
    return out.str();
}

} // namespace

buffer_makeup makeup_of(const buffer_status& status) {
    buffer_makeup makeup;
    if (status.state == zorvgst::buffer_state::foreign) {
        return makeup;
    }
    if (status.backend == zorvgst::backend::posix) {
        makeup.ring = zorvgst::describe_ring(status.name);
    }
    if (makeup.ring) {
        makeup.kind = "ring";
        makeup.format = makeup.ring->format;
        return makeup;
    }
    // System V segments hold double buffers only.
    makeup.kind = "double-buffer";
    if (status.state != zorvgst::buffer_state::orphan) {
        makeup.format = "BGRA";
    }
    return makeup;
}

const char* state_name(const buffer_status& status) {
    // In the order of buffer_state.
    static const char* const names[] = {"ready", "not_ready", "orphan", "foreign"};
    const auto index = static_cast<std::size_t>(status.state);
    return index < std::size(names) ? names[index] : "not_ready";
}

std::string format_time(const buffer_status& status) {
    if (status.last_write_time_invalid) {
        return "invalid";
    }
    if (!status.last_write_time) {
        return "-";
    }
    std::string text = pt::to_iso_extended_string(local_time_of(*status.last_write_time));
    std::replace(text.begin(), text.end(), 'T', ' ');
    return text;
}

double age_ms(const buffer_status& status, std::chrono::system_clock::time_point now) {
    if (!status.last_write_time) {
        return -1;
    }
    const double ms =
        std::chrono::duration<double, std::milli>(now - *status.last_write_time).count();
    // A writer whose clock runs ahead of ours still wrote "just now".
    return std::max(ms, 0.0);
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            // Names are arbitrary bytes: escaping everything outside printable ASCII keeps the
            // document valid UTF-8 whatever they hold.
            if (c < 0x20 || c >= 0x7f) {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

void print_json_object(std::ostream& out, const buffer_status& info,
                       std::chrono::system_clock::time_point now, const std::string& indent) {
    const buffer_makeup makeup = makeup_of(info);
    const double age = age_ms(info, now);
    const std::string last_write = info.last_write_time ? json_string(format_time(info)) : "null";
    std::ostringstream age_json;
    if (age < 0) {
        age_json << "null";
    } else {
        age_json << std::fixed << std::setprecision(3) << age;
    }
    const std::string in = indent + "  ";
    out << indent << "{\n"
        << in << "\"name\": " << json_string(info.name) << ",\n"
        << in << "\"backend\": " << json_string(zorvgst::backend_name(info.backend)) << ",\n"
        << in << "\"ready\": " << (info.state == zorvgst::buffer_state::ready ? "true" : "false")
        << ",\n"
        << in << "\"state\": " << json_string(state_name(info)) << ",\n"
        << in << "\"width\": " << info.width << ",\n"
        << in << "\"height\": " << info.height << ",\n"
        << in << "\"owner_pid\": " << info.owner_pid << ",\n"
        << in << "\"owner_alive\": " << (info.owner_alive ? "true" : "false") << ",\n"
        << in << "\"frame_count\": " << info.frame_count << ",\n"
        << in << "\"last_write_time\": " << last_write << ",\n"
        << in << "\"age_ms\": " << age_json.str() << ",\n"
        << in << "\"size\": " << info.bytes << ",\n"
        << in << "\"kind\": " << json_text_or_null(makeup.kind) << ",\n"
        << in << "\"format\": " << json_text_or_null(makeup.format.c_str()) << ",\n"
        << in << "\"leases\": " << (makeup.ring ? makeup.ring->leases_held : 0) << ",\n"
        << in << "\"lease_holders\": " << json_lease_holders(makeup) << ",\n"
        << in << "\"ring\": " << json_ring(makeup) << "\n"
        << indent << "}";
}

void print_json(std::ostream& out, const std::vector<buffer_status>& buffers,
                std::chrono::system_clock::time_point now) {
    out << "{\n  \"buffers\": [";
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        out << (i == 0 ? "\n" : ",\n");
        print_json_object(out, buffers[i], now, "    ");
    }
    out << (buffers.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

} // namespace zorvgst_tools
