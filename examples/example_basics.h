// SPDX-License-Identifier: LGPL-2.1-or-later
// What every example host needs beside the library, in plain C++: the library's warnings on the
// console, whole numbers from the command line, and Ctrl-C for programs that loop by themselves.
#pragma once

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include <zorvgst/log_handler.h>

namespace example_host {

/// From now on the library's warnings and errors are printed on standard output. Without a
/// handler (or a log4cxx configuration) the library's lines go nowhere.
inline void show_library_warnings() {
    zorvgst::set_log_handler(
        [](zorvgst::log_level level, std::string_view, std::string_view message) {
            std::cout << (level == zorvgst::log_level::warn ? "WARN  " : "ERROR ") << message
                      << std::endl;
        },
        zorvgst::log_level::warn);
}

/// `text` as a whole number from `lowest` to `highest`; nothing for anything else ("", "-1",
/// "12px", " 12", a number out of range).
inline std::optional<unsigned> whole_number(const std::string& text, unsigned lowest,
                                            unsigned highest) {
    // strtoul would skip blanks and accept a sign.
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long number = std::strtoul(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || number < lowest || number > highest) {
        return std::nullopt;
    }
    return static_cast<unsigned>(number);
}

/// Set once SIGINT or SIGTERM came after catch_interruptions(): a loop checks it and ends.
inline volatile std::sig_atomic_t interrupted = 0;

/// From now on SIGINT and SIGTERM only set `interrupted`, so the program can finish cleanly.
inline void catch_interruptions() {
    const auto note_interruption = [](int) { interrupted = 1; };
    std::signal(SIGINT, note_interruption);
    std::signal(SIGTERM, note_interruption);
}

} // namespace example_host
