// SPDX-License-Identifier: LGPL-2.1-or-later
// A writer in a child process that publishes one frame each time the benchmark asks for it.
#pragma once

#include <csignal>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvbench {

/// Forks a child that runs `body(request_fd, parent_pid)` and exits. `body` reads one byte from
/// `request_fd` per frame wanted and returns once a read fails: when the pipe is closed.
class writer_process {
public:
    template <typename Body> explicit writer_process(Body body) {
        int request[2];
        if (::pipe(request) != 0) {
            return;
        }
        const pid_t parent = ::getpid();
        child_ = ::fork();
        if (child_ == 0) {
            ::close(request[1]);
            body(request[0], parent);
            _exit(0);
        }
        ::close(request[0]);
        if (child_ < 0) {
            ::close(request[1]);
            return;
        }
        request_fd_ = request[1];
    }
    ~writer_process() { stop(); }
    writer_process(const writer_process&) = delete;
    writer_process& operator=(const writer_process&) = delete;

    /// False when the pipe or the child could not be made.
    bool started() const { return request_fd_ >= 0; }

    /// Asks for the next frame; false when the writer has gone.
    bool request() {
        const char go = 1;
        return ::write(request_fd_, &go, 1) == 1;
    }

    /// Closes the pipe, which ends the writer's loop, and reaps the child. `kill` also ends a
    /// writer that may not get back to its read, such as one waiting for the reader to sleep.
    void stop(bool kill = false) {
        if (request_fd_ < 0) {
            return;
        }
        ::close(request_fd_);
        request_fd_ = -1;
        if (kill) {
            ::kill(child_, SIGKILL);
        }
        ::waitpid(child_, nullptr, 0);
    }

private:
    pid_t child_ = -1;
    int request_fd_ = -1;
};

} // namespace zorvbench
