// SPDX-License-Identifier: LGPL-2.1-or-later
// What the cross-process benchmarks share: one clock, a process's CPU time, percentiles of what
// they measured, and telling when a process sleeps.
#pragma once

#include <cstdint>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/time.h>
#include <sys/types.h>

namespace zorvbench {

/// CLOCK_MONOTONIC in nanoseconds: the same clock in every process of the machine.
inline std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

/// User plus system CPU time of this process, all threads, in seconds: what /proc/<pid>/stat
/// reports as utime + stime, at microsecond resolution instead of clock ticks.
inline double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

/// The value at `fraction` (0 to 1) of `sorted`; -1 when there is none.
inline double percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) {
        return -1.0;
    }
    return sorted[static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1))];
}

/// Whether process `pid` is asleep (state 'S' in /proc): a reader that only sleeps in its wait
/// is then inside it.
inline bool is_sleeping(pid_t pid) {
    std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat_file)),
                           std::istreambuf_iterator<char>());
    const auto end_of_name = text.rfind(')');
    return end_of_name != std::string::npos && end_of_name + 2 < text.size() &&
           text[end_of_name + 2] == 'S';
}

} // namespace zorvbench
