// SPDX-License-Identifier: LGPL-2.1-or-later
// Rendering of buffer snapshots as the list table, the show block and JSON.
#include "report.h"
#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include "host/buffer_report.h"

using zorvgst::buffer_state;
using zorvgst::buffer_status;
using zorvgst_host::age_ms;
using zorvgst_host::format_time;
using zorvgst_host::state_name;

namespace zorvgst_shm {

namespace {

std::string dimensions(const buffer_status& info) {
    if (info.state == buffer_state::foreign || info.width == 0 || info.height == 0) {
        return "-";
    }
    return std::to_string(info.width) + "x" + std::to_string(info.height);
}

std::string owner(const buffer_status& info) {
    if (info.state == buffer_state::orphan) {
        return "orphan";
    }
    if (info.owner_pid <= 0) {
        return "-";
    }
    return std::to_string(info.owner_pid) + (info.owner_alive ? " (alive)" : " (dead)");
}

std::string age_text(double ms) {
    if (ms < 0) {
        return "-";
    }
    std::ostringstream out;
    if (ms < 10000) {
        out << std::fixed << std::setprecision(1) << ms << " ms";
    } else {
        out << std::fixed << std::setprecision(0) << ms / 1000 << " s";
    }
    return out.str();
}

/// Bytes of the object or segment; there are none to count without a segment.
std::string bytes_text(const buffer_status& info) {
    return info.state == buffer_state::orphan ? "-" : std::to_string(info.bytes);
}

std::string state_text(const buffer_status& info) {
    switch (info.state) {
    case buffer_state::orphan:
        return "orphan: a System V key file without its segment";
    case buffer_state::foreign:
        return "not a double buffer";
    case buffer_state::ready:
        return "ready";
    case buffer_state::not_ready:
        break;
    }
    if (info.width == 0 || info.height == 0) {
        return "not sized by its writer yet";
    }
    return "not ready: the header's frame size does not fit the object";
}

} // namespace

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

void print_table(std::ostream& out, const std::vector<buffer_status>& buffers, time_point now) {
    if (buffers.empty()) {
        out << "no double buffers\n";
        return;
    }
    std::size_t name_width = 4;
    for (const auto& info : buffers) {
        name_width = std::max(name_width, info.name.size());
    }
    const auto row = [&](const std::string& name, const std::string& backend,
                         const std::string& size, const std::string& own, const std::string& frames,
                         const std::string& written, const std::string& age,
                         const std::string& bytes) {
        out << std::left << std::setw(static_cast<int>(name_width)) << name << "  " << std::setw(9)
            << backend << std::setw(11) << size << std::setw(16) << own << std::right
            << std::setw(10) << frames << "  " << std::left << std::setw(28) << written
            << std::setw(10) << age << std::right << std::setw(12) << bytes << "\n";
    };
    row("NAME", "BACKEND", "SIZE", "OWNER", "FRAMES", "LAST WRITE", "AGE", "BYTES");
    for (const auto& info : buffers) {
        row(info.name, backend_name(info.backend), dimensions(info), owner(info),
            std::to_string(info.frame_count), format_time(info), age_text(age_ms(info, now)),
            bytes_text(info));
    }
}

void print_json_object(std::ostream& out, const buffer_status& info, time_point now,
                       const std::string& indent) {
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
        << in << "\"backend\": " << json_string(backend_name(info.backend)) << ",\n"
        << in << "\"ready\": " << (info.state == buffer_state::ready ? "true" : "false") << ",\n"
        << in << "\"state\": " << json_string(state_name(info)) << ",\n"
        << in << "\"width\": " << info.width << ",\n"
        << in << "\"height\": " << info.height << ",\n"
        << in << "\"owner_pid\": " << info.owner_pid << ",\n"
        << in << "\"owner_alive\": " << (info.owner_alive ? "true" : "false") << ",\n"
        << in << "\"frame_count\": " << info.frame_count << ",\n"
        << in << "\"last_write_time\": " << last_write << ",\n"
        << in << "\"age_ms\": " << age_json.str() << ",\n"
        << in << "\"size\": " << info.bytes << "\n"
        << indent << "}";
}

void print_json(std::ostream& out, const std::vector<buffer_status>& buffers, time_point now) {
    out << "{\n  \"buffers\": [";
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        out << (i == 0 ? "\n" : ",\n");
        print_json_object(out, buffers[i], now, "    ");
    }
    out << (buffers.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

void print_details(std::ostream& out, const buffer_status& info, time_point now) {
    const auto line = [&out](const char* key, const std::string& value) {
        out << std::left << std::setw(17) << key << value << "\n";
    };
    line("name:", info.name);
    line("backend:", backend_name(info.backend));
    line("state:", state_text(info));
    line("frame size:", dimensions(info));
    line("owner:", owner(info));
    line("frames written:", std::to_string(info.frame_count));
    line("last write:", format_time(info));
    line("frame age:", age_text(age_ms(info, now)));
    line("bytes:", bytes_text(info));
}

} // namespace zorvgst_shm
