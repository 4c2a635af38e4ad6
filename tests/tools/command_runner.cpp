// SPDX-License-Identifier: LGPL-2.1-or-later
// Child program runner: fork and exec with pipes, poll-driven collection, kill on time-out.
#include "command_runner.h"
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvtest {

Command::Command(const std::string& program, const std::vector<std::string>& args) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        return;
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        execvp(program.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd = out_pipe[0];
    err_fd = err_pipe[0];
}

Command::~Command() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (out_fd >= 0) {
        close(out_fd);
    }
    if (err_fd >= 0) {
        close(err_fd);
    }
}

bool Command::pump(std::chrono::milliseconds budget) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    if (out_fd < 0 && err_fd < 0) {
        return false;
    }
    const int ready = poll(fds, 2, static_cast<int>(budget.count()));
    if (ready <= 0) {
        return true;
    }
    int* fd_of[2] = {&out_fd, &err_fd};
    std::string* text_of[2] = {&result.out, &result.err};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t n = read(fds[i].fd, chunk, sizeof(chunk));
        if (n > 0) {
            text_of[i]->append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close(*fd_of[i]);
            *fd_of[i] = -1;
        }
    }
    return out_fd >= 0 || err_fd >= 0;
}

bool Command::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (result.out.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(std::min(left, std::chrono::milliseconds(50)))) {
            return result.out.find(text) != std::string::npos;
        }
    }
    return true;
}

void Command::signal(int sig) {
    if (pid > 0) {
        kill(pid, sig);
    }
}

command_result Command::finish(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid > 0) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            pid = -1;
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
            result.status = -1;
            break;
        }
        pump(std::chrono::milliseconds(20));
    }
    // Drain what the program wrote before it ended (bounded: a descendant may hold the pipes).
    const auto drain_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < drain_deadline &&
           pump(std::chrono::milliseconds(50))) {
    }
    return result;
}

command_result run_command(const std::string& program, const std::vector<std::string>& args,
                           std::chrono::milliseconds timeout) {
    Command command(program, args);
    return command.finish(timeout);
}

} // namespace zorvtest
