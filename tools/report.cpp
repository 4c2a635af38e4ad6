// Rendering of buffer snapshots as the list table, the show block and JSON.
#include "report.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace pt = boost::posix_time;

namespace zorvgst_shm {

namespace {

bool usable(const pt::ptime& time) {
    if (time.is_special()) {
        return false;
    }
    // Anything outside the Gregorian range Boost formats is garbage from shared memory.
    try {
        const auto year = time.date().year();
        return year >= 1970 && year <= 9999;
    } catch (const std::exception&) {
        return false;
    }
}

std::string dimensions(const buffer_info_t& info) {
    if (info.foreign || info.width == 0 || info.height == 0) {
        return "-";
    }
    return std::to_string(info.width) + "x" + std::to_string(info.height);
}

std::string owner(const buffer_info_t& info) {
    if (info.orphan) {
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
std::string bytes_text(const buffer_info_t& info) {
    return info.orphan ? "-" : std::to_string(info.size);
}

const char* state_name(const buffer_info_t& info) {
    if (info.orphan) {
        return "orphan";
    }
    if (info.foreign) {
        return "foreign";
    }
    return info.ready ? "ready" : "not_ready";
}

std::string state_text(const buffer_info_t& info) {
    if (info.orphan) {
        return "orphan: a System V key file without its segment";
    }
    if (info.foreign) {
        return "not a double buffer";
    }
    if (info.ready) {
        return "ready";
    }
    if (info.width == 0 || info.height == 0) {
        return "not sized by its writer yet";
    }
    return "not ready: the header's frame size does not fit the object";
}

} // namespace

std::string format_time(const pt::ptime& time) {
    if (time.is_not_a_date_time()) {
        return "-";
    }
    if (!usable(time)) {
        return "invalid";
    }
    std::string text = pt::to_iso_extended_string(time);
    std::replace(text.begin(), text.end(), 'T', ' ');
    return text;
}

double age_ms(const pt::ptime& time, const pt::ptime& now) {
    if (!usable(time) || !usable(now)) {
        return -1;
    }
    const double ms = static_cast<double>((now - time).total_microseconds()) / 1000.0;
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

void print_table(std::ostream& out, const std::vector<buffer_info_t>& buffers,
                 const pt::ptime& now) {
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
            std::to_string(info.frame_count), format_time(info.last_write_time),
            age_text(age_ms(info.last_write_time, now)), bytes_text(info));
    }
}

void print_json_object(std::ostream& out, const buffer_info_t& info, const pt::ptime& now,
                       const std::string& indent) {
    const double age = age_ms(info.last_write_time, now);
    const std::string last_write =
        usable(info.last_write_time) ? json_string(format_time(info.last_write_time)) : "null";
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
        << in << "\"ready\": " << (info.ready ? "true" : "false") << ",\n"
        << in << "\"state\": " << json_string(state_name(info)) << ",\n"
        << in << "\"width\": " << info.width << ",\n"
        << in << "\"height\": " << info.height << ",\n"
        << in << "\"owner_pid\": " << info.owner_pid << ",\n"
        << in << "\"owner_alive\": " << (info.owner_alive ? "true" : "false") << ",\n"
        << in << "\"frame_count\": " << info.frame_count << ",\n"
        << in << "\"last_write_time\": " << last_write << ",\n"
        << in << "\"age_ms\": " << age_json.str() << ",\n"
        << in << "\"size\": " << info.size << "\n"
        << indent << "}";
}

void print_json(std::ostream& out, const std::vector<buffer_info_t>& buffers,
                const pt::ptime& now) {
    out << "{\n  \"buffers\": [";
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        out << (i == 0 ? "\n" : ",\n");
        print_json_object(out, buffers[i], now, "    ");
    }
    out << (buffers.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

void print_details(std::ostream& out, const buffer_info_t& info, const pt::ptime& now) {
    const auto line = [&out](const char* key, const std::string& value) {
        out << std::left << std::setw(17) << key << value << "\n";
    };
    line("name:", info.name);
    line("backend:", backend_name(info.backend));
    line("state:", state_text(info));
    line("frame size:", dimensions(info));
    line("owner:", owner(info));
    line("frames written:", std::to_string(info.frame_count));
    line("last write:", format_time(info.last_write_time));
    line("frame age:", age_text(age_ms(info.last_write_time, now)));
    line("bytes:", bytes_text(info));
}

} // namespace zorvgst_shm
