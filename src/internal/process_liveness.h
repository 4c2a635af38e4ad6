// SPDX-License-Identifier: LGPL-2.1-or-later
// Whether the process that a shared header names as its owner has gone.
#pragma once

#include <cerrno>
#include <csignal>

#include <sys/types.h>

namespace zorvgst::detail {

/// True only when `pid` names a single process that no longer exists (`kill(pid, 0)` fails with
/// ESRCH). A refused signal means the process exists under another user. Ids of 0 or below name
/// process groups or every process, never an owner, so they never count as gone: a corrupt
/// owner field must not get a live buffer removed.
inline bool process_has_exited(pid_t pid) {
    if (pid <= 0) {
        return false;
    }
    return ::kill(pid, 0) == -1 && errno == ESRCH;
}

} // namespace zorvgst::detail
