// SPDX-License-Identifier: LGPL-2.1-or-later
// Death tests of calls the library ends the process in: what was logged is matched at exit.
#pragma once

#include <string>

#include <gtest/gtest.h>
#include <log4cxx/level.h>

#include "support/capture_appender.h"

namespace zorvtest {

/// Runs `failure` in the child of a death test that captures from `level` up. The library must
/// end the child with status 1, and the lines captured until then, written to stderr as
/// "<LEVEL|message|file|function>" one a line, must match `lines`.
template <typename Failure>
void expect_exit_reporting(Failure failure, const std::string& lines,
                           const log4cxx::LevelPtr& level = log4cxx::Level::getAll()) {
    EXPECT_EXIT(
        {
            LogCapture capture(level);
            report_captured_lines_at_exit();
            failure();
        },
        ::testing::ExitedWithCode(1), lines);
}

} // namespace zorvtest
