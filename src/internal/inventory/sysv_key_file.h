// SPDX-License-Identifier: LGPL-2.1-or-later
// A System V buffer's key file and the pieces around it, handled without a buffer handle: a
// handle creates the key file and write-wait objects it does not find.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <sys/types.h>

namespace zorvgst::detail {

/// How long a key file may go without its segment before it counts as an orphan: a writer
/// creates the key file just before the segment.
constexpr std::chrono::seconds orphan_grace_period{5};

/// The key of the existing key file of `name`, or nothing when it has gone. Never creates it.
std::optional<key_t> existing_sysv_key(const std::string& name);

/// Whether `name` is a key file without a segment, last modified at least
/// `orphan_grace_period` ago.
bool is_settled_orphan_key_file(const std::string& name);

/// Removes the key file, write-wait condition and write-wait mutex of `name`: what the
/// library's own removal leaves when the segment has already gone.
void remove_sysv_leftovers(const std::string& name);

} // namespace zorvgst::detail
