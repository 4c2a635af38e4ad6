// SPDX-License-Identifier: LGPL-2.1-or-later
// A process named by its pid and its start time, so that a pid the kernel hands out again is not
// taken for the process that had it before.
#pragma once

#include <cstdint>
#include <optional>

#include <sys/types.h>

namespace zorvgst::detail {

/// When `pid` started, in clock ticks since boot (/proc/PID/stat); nothing when there is no
/// such process or its entry cannot be read.
std::optional<std::uint64_t> process_start_time(pid_t pid);

/// This process's start time, read once per process (a forked child reads its own).
std::uint64_t own_start_time();

/// Whether `pid` is a process that exists and started at `start_low_bits` (the low 31 bits of
/// its start time). A process of another user counts; a pid of 0 or below never does.
bool same_process_alive(pid_t pid, std::uint64_t start_low_bits);

} // namespace zorvgst::detail
