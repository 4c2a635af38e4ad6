// SPDX-License-Identifier: LGPL-2.1-or-later
// Forked children with watchdogs.
#include "support/child_process.h"
#include <csignal>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace zorvtest {

ChildProcess::ChildProcess(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        int code = 99;
        try {
            code = body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child: exception: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "child: unknown exception\n");
        }
        _exit(code);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        kill_and_reap(SIGKILL);
    }
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) {
        return -1;
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
            kill_and_reap(SIGKILL);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::optional<int> ChildProcess::try_wait() {
    if (pid_ <= 0) {
        return -1;
    }
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == 0) {
        return std::nullopt;
    }
    pid_ = -1;
    return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::kill_and_reap(int signal) {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool wait_until_sleeping(pid_t pid, std::chrono::milliseconds timeout) {
    const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
    return wait_until(
        [&] {
            std::ifstream stat_file(stat_path);
            std::string text((std::istreambuf_iterator<char>(stat_file)),
                             std::istreambuf_iterator<char>());
            // The state follows the command name, which is in parentheses and may hold spaces.
            const auto end_of_name = text.rfind(')');
            return end_of_name != std::string::npos && end_of_name + 2 < text.size() &&
                   text[end_of_name + 2] == 'S';
        },
        timeout);
}

pid_t dead_pid() {
    ChildProcess child([] { return 0; });
    const pid_t pid = child.pid();
    child.wait(std::chrono::seconds(5));
    return pid;
}

} // namespace zorvtest
