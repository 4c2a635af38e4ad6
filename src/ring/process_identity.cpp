// SPDX-License-Identifier: LGPL-2.1-or-later
// Start times from /proc, for telling a live reader from one whose pid was handed out again.
#include "internal/ring/process_identity.h"
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "internal/process_liveness.h"

namespace zorvgst::detail {

namespace {

/// What /proc/PID/stat says of a process: its state letter and start time.
struct process_stat {
    char state = '?';
    long threads = 0;
    std::uint64_t start_time = 0;
};

std::optional<process_stat> read_process_stat(pid_t pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
    char path[32];
    std::snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    char text[1024];
    const ssize_t length = ::read(fd, text, sizeof(text) - 1);
    ::close(fd);
    if (length <= 0) {
        return std::nullopt;
    }
    text[length] = '\0';
    // The command name in parentheses may hold blanks and parentheses itself: fields are
    // counted from the last ')'. The state is field 3, the thread count field 20, the start time
    // field 22.
    const char* field = std::strrchr(text, ')');
    if (field == nullptr) {
        return std::nullopt;
    }
    ++field;
    process_stat stat;
    for (int number = 3; number <= 22; ++number) {
        while (*field == ' ') {
            ++field;
        }
        if (*field == '\0') {
            return std::nullopt;
        }
        if (number == 3) {
            stat.state = *field;
        } else if (number == 20) {
            stat.threads = std::strtol(field, nullptr, 10);
        } else if (number == 22) {
            char* end = nullptr;
            stat.start_time = std::strtoull(field, &end, 10);
            if (end == field) {
                return std::nullopt;
            }
            return stat;
        }
        while (*field != ' ' && *field != '\0') {
            ++field;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::uint64_t> process_start_time(pid_t pid) {
    const std::optional<process_stat> stat = read_process_stat(pid);
    if (!stat) {
        return std::nullopt;
    }
    return stat->start_time;
}

std::uint64_t own_start_time() {
    // Cached with the pid it belongs to: a child of fork() must not report its parent's.
    static std::atomic<std::uint64_t> cached{0};
    const auto pid = static_cast<std::uint64_t>(::getpid());
    const std::uint64_t seen = cached.load(std::memory_order_acquire);
    if (seen != 0 && (seen >> 40) == pid) {
        return seen & ((std::uint64_t{1} << 40) - 1);
    }
    const std::uint64_t start = process_start_time(::getpid()).value_or(0);
    cached.store((pid << 40) | (start & ((std::uint64_t{1} << 40) - 1)), std::memory_order_release);
    return start;
}

bool same_process_alive(pid_t pid, std::uint64_t start_low_bits) {
    if (pid <= 0 || process_has_exited(pid)) {
        return false;
    }
    const std::optional<process_stat> stat = read_process_stat(pid);
    // A process whose entry cannot be read (another pid namespace, /proc hidden) is given the
    // benefit of the doubt: its leases stay until kill() says it is gone.
    if (!stat) {
        return !process_has_exited(pid);
    }
    // A killed process its parent has not reaped yet still answers kill(), but holds nothing.
    // A process whose main thread ended while others run shows 'Z' too, with threads left.
    if ((stat->state == 'Z' || stat->state == 'X') && stat->threads <= 1) {
        return false;
    }
    return (stat->start_time & 0x7fffffffu) == start_low_bits;
}

} // namespace zorvgst::detail
