// SPDX-License-Identifier: LGPL-2.1-or-later
// Helpers shared by the double buffer tests: log and exception assertions, header field offsets.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <log4cxx/level.h>

#include "support/capture_appender.h"

namespace dbtest {

// Byte offsets of the header fields as every process must see them.
constexpr std::size_t type_offset = 0;
constexpr std::size_t indicator_offset = 4;
constexpr std::size_t time_offset = 8;
constexpr std::size_t width_offset = 16;
constexpr std::size_t height_offset = 20;
constexpr std::size_t owner_offset = 24;
constexpr std::size_t padding_offset = 28;
constexpr std::size_t count_offset = 32;
constexpr std::size_t header_size = 40;
constexpr std::int64_t not_a_date_time_bits = 0x7FFFFFFFFFFFFFFELL;

constexpr int trace = log4cxx::Level::TRACE_INT;
constexpr int debug = log4cxx::Level::DEBUG_INT;
constexpr int warn = log4cxx::Level::WARN_INT;
constexpr int error = log4cxx::Level::ERROR_INT;
constexpr int fatal = log4cxx::Level::FATAL_INT;

/// Exactly `times` lines carry `message`, each at `level` from the source unit `file`.
inline ::testing::AssertionResult logged(const zorvtest::LogCapture& log,
                                         const std::string& message, int level,
                                         const std::string& file = "posix_double_buffer",
                                         std::size_t times = 1) {
    const auto found = log.with_message(message);
    if (found.size() != times) {
        return ::testing::AssertionFailure()
               << "\"" << message << "\" logged " << found.size() << " times, expected " << times;
    }
    for (const auto& line : found) {
        if (line.level != level || line.file != file) {
            return ::testing::AssertionFailure()
                   << "\"" << message << "\" at level " << line.level << " from " << line.file
                   << ", expected " << level << " from " << file;
        }
    }
    return ::testing::AssertionSuccess();
}

/// `call` must throw std::runtime_error with exactly `text`: the fixed texts hosts match on.
template <typename Call> void expect_runtime_error(Call&& call, const std::string& text) {
    try {
        call();
        ADD_FAILURE() << "no exception, expected " << text;
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), text);
    }
}

/// Whether a line is one of the notices about the group "zorv" that every open attempt may log.
inline bool is_group_notice(const zorvtest::captured_line& line) {
    return line.message == "Group zorv Does Not Exist" ||
           line.message.rfind("Process Not Running w/Group 'zorv'", 0) == 0;
}

/// Lines other than the group notices.
inline std::size_t lines_besides_group_notices(const zorvtest::LogCapture& log) {
    std::size_t count = 0;
    for (const auto& line : log.lines()) {
        count += is_group_notice(line) ? 0 : 1;
    }
    return count;
}

} // namespace dbtest
