// SPDX-License-Identifier: LGPL-2.1-or-later
// A program run as a child process, its output captured and its waits bounded.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "support/child_process.h"

namespace zorvtest {

struct command_result {
    int status = -1; ///< exit status; -1 when killed on time-out or ended by a signal
    std::string out;
    std::string err;
};

/// One started program. Its standard output and error go to anonymous files rather than pipes,
/// so a program the test leaves running while it does other work never blocks on a full pipe,
/// and what it wrote can be read at any time. A program still running when the object goes away
/// is killed.
class Command {
public:
    Command(const std::string& program, const std::vector<std::string>& args);
    ~Command();
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    /// The program's process id while it runs; -1 once it has been reaped.
    pid_t pid() const;
    /// Whether standard output holds `text` within `timeout`; false at once if the program ended
    /// without writing it.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout);
    void signal(int sig);
    /// Waits for the end at most `timeout`, killing the program when it overruns.
    command_result finish(std::chrono::milliseconds timeout);
    /// Everything written so far, standard output then standard error: for failure messages.
    std::string output() const;

private:
    /// Reaps the program if it has ended, keeping its status; whether it has.
    bool ended();

    int out_fd_ = -1;
    int err_fd_ = -1;
    std::optional<int> status_;
    std::optional<ChildProcess> child_;
};

/// Runs `program args...` to its end within `timeout`.
command_result run_command(const std::string& program, const std::vector<std::string>& args,
                           std::chrono::milliseconds timeout = std::chrono::seconds(20));

} // namespace zorvtest
