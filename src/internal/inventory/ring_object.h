// SPDX-License-Identifier: LGPL-2.1-or-later
// A frame ring's header and reader table as an inspector reads them: copied out, never mapped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "internal/ring/layout.h"

namespace zorvgst::detail {

/// What one read of a POSIX object whose type word says "frame ring" found.
struct ring_object {
    /// Zero past what the object held.
    ring::ring_header header{};
    /// The object held the whole header.
    bool header_whole = false;
    std::uint64_t object_bytes = 0;
    dev_t device = 0;
    ino_t inode = 0;
    /// The header's counts and sizes describe exactly this object, so that they may be used.
    bool consistent = false;
    /// Valid only when consistent.
    ring::ring_geometry geometry{};
    /// When asked for and consistent: reader_count entries of 1 + leases_per_reader words.
    std::vector<std::uint64_t> reader_table;
};

/// The ring `name` as it is now; nothing when no regular POSIX object of that name exists or its
/// type word is not a frame ring's. Creates, maps and changes nothing.
std::optional<ring_object> read_ring_object(const std::string& name, bool with_reader_table);

/// Whether the writer a ring header names still runs: the pid and, when the writer could record
/// it, its start time, so that a pid handed to a later process does not keep a dead ring alive.
bool ring_owner_alive(const ring::ring_header& header);

} // namespace zorvgst::detail
