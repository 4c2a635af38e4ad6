// SPDX-License-Identifier: LGPL-2.1-or-later
// Rendering of buffer snapshots as the list table and the show block.
#include "report.h"
#include <algorithm>
#include <iomanip>
#include <sstream>

#include "tools/common/buffer_report.h"

using zorvgst::buffer_state;
using zorvgst::buffer_status;
using zorvgst_tools::age_ms;
using zorvgst_tools::buffer_makeup;
using zorvgst_tools::format_time;
using zorvgst_tools::makeup_of;

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

std::string kind_text(const buffer_makeup& makeup) {
    return makeup.kind == nullptr ? "-" : makeup.kind;
}

std::string format_text(const buffer_makeup& makeup) {
    return makeup.format.empty() ? "-" : makeup.format;
}

/// Frames the ring's readers hold; a double buffer lends none.
std::string leases_text(const buffer_makeup& makeup) {
    return makeup.ring ? std::to_string(makeup.ring->leases_held) : "-";
}

/// "4 readers x 2 leases, 10 slots, 4096 bytes of metadata a frame".
std::string ring_counts_text(const zorvgst::ring_report& ring) {
    if (!ring.consistent) {
        return "unknown: the header's counts do not fit the object";
    }
    return std::to_string(ring.readers) + " readers x " + std::to_string(ring.leases_per_reader) +
           " leases, " + std::to_string(ring.slots) + " slots, " +
           std::to_string(ring.metadata_capacity) + " bytes of metadata a frame";
}

/// "2 by 1234 (alive), 1 by 5678 (dead)"; "-" when nobody holds a frame.
std::string holders_text(const zorvgst::ring_report& ring) {
    std::string text;
    for (const auto& holder : ring.holders) {
        text += (text.empty() ? "" : ", ") + std::to_string(holder.leases) + " by " +
                std::to_string(holder.pid) + (holder.alive ? " (alive)" : " (dead)");
    }
    return text.empty() ? "-" : text;
}

} // namespace

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
                         const std::string& bytes, const std::string& kind,
                         const std::string& format, const std::string& leases) {
        out << std::left << std::setw(static_cast<int>(name_width)) << name << "  " << std::setw(9)
            << backend << std::setw(11) << size << std::setw(16) << own << std::right
            << std::setw(10) << frames << "  " << std::left << std::setw(28) << written
            << std::setw(10) << age << std::right << std::setw(12) << bytes << "  " << std::left
            << std::setw(15) << kind << std::setw(11) << format << std::right << std::setw(6)
            << leases << "\n";
    };
    row("NAME", "BACKEND", "SIZE", "OWNER", "FRAMES", "LAST WRITE", "AGE", "BYTES", "KIND",
        "FORMAT", "LEASES");
    for (const auto& info : buffers) {
        const buffer_makeup makeup = makeup_of(info);
        row(info.name, backend_name(info.backend), dimensions(info), owner(info),
            std::to_string(info.frame_count), format_time(info), age_text(age_ms(info, now)),
            bytes_text(info), kind_text(makeup), format_text(makeup), leases_text(makeup));
    }
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
    const buffer_makeup makeup = makeup_of(info);
    line("kind:", kind_text(makeup));
    line("format:", format_text(makeup));
    if (makeup.ring) {
        line("ring:", ring_counts_text(*makeup.ring));
        line("leases held:", leases_text(makeup));
        line("lease holders:", holders_text(*makeup.ring));
    }
}

} // namespace zorvgst_shm
