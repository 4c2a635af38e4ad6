// What the cross-process latency benchmarks share: one clock, and telling when a process sleeps.
#pragma once

#include <cstdint>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/types.h>

namespace zorvbench {

/// CLOCK_MONOTONIC in nanoseconds: the same clock in every process of the machine.
inline std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
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
