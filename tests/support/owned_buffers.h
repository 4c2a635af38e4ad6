// SPDX-License-Identifier: LGPL-2.1-or-later
// POSIX buffers whose owner has ended, is alive or was never set: the cases expiry tells apart.
#pragma once

#include <string>

#include <sys/types.h>

namespace zorvtest {

/// Makes 8x4 POSIX buffers `dead`, `alive` and `unowned`, owned by a process that has ended, by
/// this process and by nobody (0). Returns the ended owner's id, or -1 when a buffer could not be
/// made or its owner not rewritten.
pid_t make_buffers_by_owner(const std::string& dead, const std::string& alive,
                            const std::string& unowned);

} // namespace zorvtest
