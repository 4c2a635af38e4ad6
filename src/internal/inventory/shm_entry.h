// SPDX-License-Identifier: LGPL-2.1-or-later
// A buffer's entry in /dev/shm: the POSIX object itself, or a System V buffer's key file.
#pragma once

#include <optional>
#include <string>

#include <sys/stat.h>

#include <zorvgst/backend.h>

namespace zorvgst::detail {

/// What lstat says about /dev/shm/`name`; nothing when there is no such entry. A link planted in
/// the shared directory is reported as the link, never followed.
std::optional<struct stat> shm_entry_status(const std::string& name);

/// Whether any entry of that name is in /dev/shm.
bool shm_entry_exists(const std::string& name);

/// The backend of the buffer `name`, or nothing when the entry is no regular file (or the name
/// no plain file name): a POSIX buffer is the object itself, a System V buffer an empty key file.
std::optional<backend> shm_entry_backend(const std::string& name);

} // namespace zorvgst::detail
