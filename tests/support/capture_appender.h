// SPDX-License-Identifier: LGPL-2.1-or-later
// Records what the library logs so tests can assert exact texts, levels and locations.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/level.h>

namespace zorvtest {

struct captured_line {
    int level;            ///< log4cxx level value (Level::DEBUG_INT, ...)
    std::string message;  ///< the rendered message
    std::string file;     ///< location file (the source unit)
    std::string function; ///< the full pretty-function signature
    int line;
};

class CaptureAppender : public log4cxx::AppenderSkeleton {
public:
    void close() override {}
    bool requiresLayout() const override { return false; }

    void start();
    std::vector<captured_line> stop();
    std::vector<captured_line> lines() const;

protected:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override;

private:
    mutable std::mutex mutex_;
    bool recording_ = false;
    std::vector<captured_line> lines_;
};

/// Captures the lines logged to `logger` during its life and restores the logger's level.
/// Prints what it captured when the current test has failed.
class LogCapture {
public:
    explicit LogCapture(const log4cxx::LevelPtr& level = log4cxx::Level::getAll());
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<captured_line> lines() const;
    /// Lines whose message equals `message` exactly.
    std::vector<captured_line> with_message(const std::string& message) const;
    /// Lines whose message contains `fragment`.
    std::vector<captured_line> containing(const std::string& fragment) const;
    /// Number of lines at `level` (log4cxx Level::*_INT).
    size_t count_at(int level) const;

private:
    log4cxx::LevelPtr saved_level_;
};

/// Installed once by the test main on `logger`.
CaptureAppender& capture_appender();
void install_capture_appender();

/// For the child of a death test, which ends inside the library: at exit, writes each line
/// captured so far to stderr as "<LEVEL|message|file|function>", where EXPECT_EXIT matches it.
void report_captured_lines_at_exit();

} // namespace zorvtest
