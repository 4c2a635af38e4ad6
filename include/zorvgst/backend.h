// SPDX-License-Identifier: LGPL-2.1-or-later
// The two kinds of shared memory a double buffer can live in.
#pragma once

#include <zorvgst/export.h>

namespace zorvgst {

/// Where a double buffer's memory comes from: a POSIX shared-memory object in /dev/shm, or a
/// System V segment found through an empty key file of the buffer's name in /dev/shm.
enum class backend { posix, sysv };

/// "posix" or "sysv"; static storage.
ZORVGST_EXPORT const char* backend_name(backend kind);

} // namespace zorvgst
