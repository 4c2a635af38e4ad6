// SPDX-License-Identifier: LGPL-2.1-or-later
// Child programs whose standard output and error land in memory files the test reads back.
#include "support/command.h"
#include <algorithm>
#include <csignal>
#include <thread>

#include <sys/mman.h>
#include <unistd.h>

namespace zorvtest {
namespace {

/// The whole content of `fd`, read by position: the file offset is the child's, shared with it.
std::string content_of(int fd) {
    std::string text;
    if (fd < 0) {
        return text;
    }
    char chunk[4096];
    for (ssize_t got;
         (got = ::pread(fd, chunk, sizeof(chunk), static_cast<off_t>(text.size()))) > 0;) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return text;
}

} // namespace

Command::Command(const std::string& program, const std::vector<std::string>& args)
    : out_fd_(::memfd_create("command_out", MFD_CLOEXEC)),
      err_fd_(::memfd_create("command_err", MFD_CLOEXEC)) {
    if (out_fd_ < 0 || err_fd_ < 0) {
        return;
    }
    // Everything the child needs is built before the fork: it only redirects and execs.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    child_.emplace([&] {
        ::dup2(out_fd_, STDOUT_FILENO);
        ::dup2(err_fd_, STDERR_FILENO);
        ::execvp(argv[0], argv.data());
        return 127;
    });
}

Command::~Command() {
    child_.reset();
    for (int fd : {out_fd_, err_fd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

pid_t Command::pid() const {
    return child_ ? child_->pid() : -1;
}

bool Command::ended() {
    if (!status_ && child_) {
        status_ = child_->try_wait();
    }
    return status_.has_value() || !child_;
}

bool Command::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        // Asked before reading: a program that writes the text and ends in between is then
        // still found to have written it.
        const bool over = ended();
        if (content_of(out_fd_).find(text) != std::string::npos) {
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (over || now >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            deadline - now, std::chrono::milliseconds(5)));
    }
}

void Command::signal(int sig) {
    // Never kill(-1, ...): that would reach every process the user may signal.
    if (pid() > 0) {
        ::kill(pid(), sig);
    }
}

command_result Command::finish(std::chrono::milliseconds timeout) {
    if (!child_) {
        return {-1, "", "not started: no memory file for its output"};
    }
    if (!status_) {
        status_ = child_->wait(timeout);
    }
    return {*status_, content_of(out_fd_), content_of(err_fd_)};
}

std::string Command::output() const {
    return content_of(out_fd_) + content_of(err_fd_);
}

command_result run_command(const std::string& program, const std::vector<std::string>& args,
                           std::chrono::milliseconds timeout) {
    Command command(program, args);
    return command.finish(timeout);
}

} // namespace zorvtest
