// SPDX-License-Identifier: LGPL-2.1-or-later
// A frame ring's make-up and the readers that hold its frames, from a copy of its reader table.
#include <algorithm>
#include <cstring>

#include <zorvgst/inventory.h>

#include "internal/inventory/ring_object.h"
#include "internal/ring/process_identity.h"

namespace zorvgst {

namespace {

namespace ring = detail::ring;

/// The format name of the header, when it is one: terminated, and printable, since reports put
/// it on terminals and into JSON as it is.
std::string format_name(const ring::ring_header& header) {
    const char* const begin = header.format;
    const char* const end =
        static_cast<const char*>(std::memchr(header.format, '\0', sizeof(header.format)));
    if (end == nullptr || !std::all_of(begin, end, [](char c) { return c > ' ' && c < 0x7f; })) {
        return std::string();
    }
    return std::string(begin, end);
}

/// Adds the leases of each reader entry to the report. Lease words naming no slot of the ring
/// hold nothing (the writer ignores them too) and are not counted.
void tally_leases(const detail::ring_object& object, ring_report& report) {
    const std::size_t entry_words = 1 + std::size_t{report.leases_per_reader};
    for (std::size_t entry = 0; entry + entry_words <= object.reader_table.size();
         entry += entry_words) {
        unsigned held = 0;
        for (std::size_t i = 1; i < entry_words; ++i) {
            const std::uint64_t word = object.reader_table[entry + i];
            held += word != 0 && ring::leased_slot(word) < report.slots ? 1 : 0;
        }
        if (held == 0) {
            continue;
        }
        // A reclaimer marks the entry it clears; the reader it names is the one that held it.
        const std::uint64_t owner = object.reader_table[entry] & ~ring::reclaiming_bit;
        const pid_t pid = ring::owner_pid(owner);
        report.leases_held += held;
        // One holder per process: a process reading the ring twice has two entries.
        const auto same = std::find_if(report.holders.begin(), report.holders.end(),
                                       [pid](const lease_holder& h) { return h.pid == pid; });
        if (same != report.holders.end()) {
            same->leases += held;
            continue;
        }
        // An entry without an owner that still names slots is what a reader that died while
        // claiming it leaves: nobody holds those.
        const bool alive = owner != 0 && detail::same_process_alive(pid, ring::owner_start(owner));
        report.holders.push_back(lease_holder{pid, alive, held});
    }
}

} // namespace

std::optional<ring_report> describe_ring(const std::string& name) {
    const std::optional<detail::ring_object> object = detail::read_ring_object(name, true);
    if (!object) {
        return std::nullopt;
    }
    ring_report report;
    report.name = name;
    report.format = format_name(object->header);
    if (!object->consistent) {
        return report;
    }
    const ring::ring_header& header = object->header;
    report.consistent = true;
    report.slots = header.slot_count;
    report.readers = header.reader_count;
    report.leases_per_reader = header.leases_per_reader;
    report.metadata_capacity = header.metadata_capacity;
    report.frame_bytes = header.frame_bytes;
    tally_leases(*object, report);
    return report;
}

} // namespace zorvgst
