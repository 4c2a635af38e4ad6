// SPDX-License-Identifier: LGPL-2.1-or-later
// Capturing log4cxx appender and its scoped helper.
#include "support/capture_appender.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <utility>

#include <gtest/gtest.h>

#include <zorvgst/library.h>

namespace zorvtest {
namespace {

// log4cxx 1.0 only hands out the parsed method name; the full signature the library passes is
// the fourth field of LocationInfo. Mirror its layout to read it back.
struct location_mirror {
    int line_number;
    const char* file_name;
    const char* short_file_name;
    const char* method_name;
};
static_assert(sizeof(location_mirror) == sizeof(log4cxx::spi::LocationInfo));

std::string full_function_of(const log4cxx::spi::LocationInfo& location) {
    location_mirror mirror;
    std::memcpy(&mirror, &location, sizeof(mirror));
    return mirror.method_name != nullptr ? mirror.method_name : "";
}

std::shared_ptr<CaptureAppender> the_appender;

// By value rather than through log4cxx::Level: at exit, a level first used after the handler was
// registered has already been destroyed.
const char* level_name(int level) {
    static const std::pair<int, const char*> names[] = {
        {log4cxx::Level::FATAL_INT, "FATAL"}, {log4cxx::Level::ERROR_INT, "ERROR"},
        {log4cxx::Level::WARN_INT, "WARN"},   {log4cxx::Level::INFO_INT, "INFO"},
        {log4cxx::Level::DEBUG_INT, "DEBUG"}, {log4cxx::Level::TRACE_INT, "TRACE"},
    };
    for (const auto& [value, name] : names) {
        if (value == level) {
            return name;
        }
    }
    return "OTHER";
}

} // namespace

void CaptureAppender::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
    recording_ = true;
}

std::vector<captured_line> CaptureAppender::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    recording_ = false;
    return std::move(lines_);
}

std::vector<captured_line> CaptureAppender::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

void CaptureAppender::append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) {
    const auto& location = event->getLocationInformation();
    captured_line line{event->getLevel()->toInt(), event->getRenderedMessage(),
                       location.getFileName() != nullptr ? location.getFileName() : "",
                       full_function_of(location), location.getLineNumber()};
    std::lock_guard<std::mutex> lock(mutex_);
    if (recording_) {
        lines_.push_back(std::move(line));
    }
}

CaptureAppender& capture_appender() {
    return *the_appender;
}

void install_capture_appender() {
    the_appender = std::make_shared<CaptureAppender>();
    logger->addAppender(the_appender);
    logger->setAdditivity(false);
    logger->setLevel(log4cxx::Level::getAll());
}

void report_captured_lines_at_exit() {
    std::atexit([] {
        for (const auto& line : capture_appender().lines()) {
            std::fprintf(stderr, "<%s|%s|%s|%s>\n", level_name(line.level), line.message.c_str(),
                         line.file.c_str(), line.function.c_str());
        }
    });
}

LogCapture::LogCapture(const log4cxx::LevelPtr& level) : saved_level_(logger->getLevel()) {
    logger->setLevel(level);
    capture_appender().start();
}

LogCapture::~LogCapture() {
    auto captured = capture_appender().stop();
    logger->setLevel(saved_level_);
    if (::testing::Test::HasFailure()) {
        std::cerr << "Captured log lines:\n";
        for (const auto& line : captured) {
            std::cerr << "  [" << line.level << "] " << line.file << ":" << line.line << " "
                      << line.message << "\n";
        }
    }
}

std::vector<captured_line> LogCapture::lines() const {
    return capture_appender().lines();
}

std::vector<captured_line> LogCapture::with_message(const std::string& message) const {
    std::vector<captured_line> found;
    for (auto& line : lines()) {
        if (line.message == message) {
            found.push_back(line);
        }
    }
    return found;
}

std::vector<captured_line> LogCapture::containing(const std::string& fragment) const {
    std::vector<captured_line> found;
    for (auto& line : lines()) {
        if (line.message.find(fragment) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

size_t LogCapture::count_at(int level) const {
    size_t count = 0;
    for (const auto& line : lines()) {
        count += line.level == level ? 1 : 0;
    }
    return count;
}

} // namespace zorvtest
