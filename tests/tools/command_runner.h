// SPDX-License-Identifier: LGPL-2.1-or-later
// Runs a program as a child process with captured output and a hard time limit.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

namespace zorvtest {

struct command_result {
    int status = -1; ///< exit status; -1 when killed on time-out or ended by a signal
    std::string out;
    std::string err;
};

/// One started program. Its output is collected while waiting; a program still running when
/// the object goes away is killed.
class Command {
public:
    Command(const std::string& program, const std::vector<std::string>& args);
    ~Command();
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    /// Collects output until standard output holds `text` or `timeout` passes; whether it did.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout);
    void signal(int sig);
    /// Waits for the end at most `timeout`, killing the program when it overruns.
    command_result finish(std::chrono::milliseconds timeout);

private:
    /// Reads what is available for at most `budget`; false once both pipes are closed.
    bool pump(std::chrono::milliseconds budget);

    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    command_result result;
};

/// Runs `program args...` to its end within `timeout`.
command_result run_command(const std::string& program, const std::vector<std::string>& args,
                           std::chrono::milliseconds timeout = std::chrono::seconds(20));

} // namespace zorvtest
