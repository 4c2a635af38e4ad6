// SPDX-License-Identifier: LGPL-2.1-or-later
// Fork-based helpers for multi-process tests: bounded waits, no test may hang.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include <poll.h>
#include <sys/types.h>
#include <unistd.h>

namespace zorvtest {

/// A forked child running `body`; its return value becomes the exit status. The child uses no
/// gtest macros. A child still running when the object is destroyed is killed.
class ChildProcess {
public:
    explicit ChildProcess(const std::function<int()>& body);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    /// Waits at most `timeout`; returns the exit status, or -1 if the child did not exit in time
    /// (it is then killed) or ended by a signal.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    /// Without waiting: the exit status (as wait() reports it) once the child has ended and
    /// been reaped, nothing while it still runs.
    std::optional<int> try_wait();

    /// Sends `signal` and reaps the child.
    void kill_and_reap(int signal);

private:
    pid_t pid_ = -1;
};

/// One-byte channel from a child to its parent, made before the fork; waits are bounded.
class Signal {
public:
    Signal() {
        if (::pipe(fds_) != 0) {
            fds_[0] = fds_[1] = -1;
        }
    }
    ~Signal() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    void raise() const {
        const char byte = 1;
        (void)!::write(fds_[1], &byte, 1);
    }
    /// Whether a raise() arrived within `timeout`; each raise() is taken once.
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        pollfd readable{fds_[0], POLLIN, 0};
        char byte = 0;
        return ::poll(&readable, 1, static_cast<int>(timeout.count())) == 1 &&
               ::read(fds_[0], &byte, 1) == 1;
    }

private:
    int fds_[2];
};

/// Polls `condition` until it holds or `timeout` passes; returns whether it held.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));

/// Polls until process `pid` is asleep (state 'S' in /proc) or `timeout` passes; returns whether
/// it slept. A child that only blocks in one known call after signalling readiness is then
/// blocked in that call.
bool wait_until_sleeping(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(5));

/// A process id that belonged to a process that has ended (and was reaped).
pid_t dead_pid();

} // namespace zorvtest
