// SPDX-License-Identifier: LGPL-2.1-or-later
// The host's log handler: what it takes from `logger`, its threshold, its replacement.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <zorvgst/frames.h>
#include <zorvgst/library.h>
#include <zorvgst/log_handler.h>

#include "support/capture_appender.h"
#include "support/shm_guard.h"

namespace {

using zorvgst::log_level;
using zorvtest::LogCapture;

struct handled_line {
    log_level level;
    std::string unit;
    std::string message;
};

// Lines reach the handler through the library's own statements: GStreamer's log, which the
// library forwards, and the frame API.
class LogHandler : public ::testing::Test {
protected:
    void SetUp() override {
        category_ = _gst_debug_category_new("zorvtest_handler", 0, "log handler tests");
        gst_debug_category_set_threshold(category_, GST_LEVEL_MEMDUMP);
    }
    // No test leaves its handler behind, also when it fails.
    void TearDown() override { zorvgst::set_log_handler(nullptr); }

    void emit(GstDebugLevel level, const char* text) {
        gst_debug_log(category_, level, "origin.c", "origin_function", 42, nullptr, "%s", text);
    }

    void record_lines(log_level threshold) {
        zorvgst::set_log_handler(
            [this](log_level level, std::string_view unit, std::string_view message) {
                const std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back({level, std::string(unit), std::string(message)});
            },
            threshold);
    }

    std::vector<handled_line> lines() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

    GstDebugCategory* category_ = nullptr;
    std::mutex mutex_;
    std::vector<handled_line> lines_;
};

TEST_F(LogHandler, TakesTheLinesFromLoggerUntilRemoved) {
    LogCapture capture;
    record_lines(log_level::trace);
    emit(GST_LEVEL_WARNING, "to the handler");
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_EQ(lines()[0].level, log_level::warn);
    EXPECT_EQ(lines()[0].unit, "zorvgst");
    EXPECT_EQ(lines()[0].message, "to the handler");
    EXPECT_TRUE(capture.lines().empty());

    zorvgst::set_log_handler(nullptr);
    emit(GST_LEVEL_WARNING, "to logger again");
    EXPECT_EQ(lines().size(), 1u);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].message, "to logger again");
}

TEST_F(LogHandler, ThresholdRulesOutLowerLevelsAndLevelsMapOneToOne) {
    record_lines(log_level::debug);
    emit(GST_LEVEL_TRACE, "trace");
    emit(GST_LEVEL_DEBUG, "debug");
    emit(GST_LEVEL_WARNING, "warning");
    emit(GST_LEVEL_ERROR, "error");
    auto handled = lines();
    ASSERT_EQ(handled.size(), 3u);
    EXPECT_EQ(handled[0].level, log_level::debug);
    EXPECT_EQ(handled[1].level, log_level::warn);
    EXPECT_EQ(handled[2].level, log_level::error);

    // Setting it again moves the threshold.
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }
    record_lines(log_level::error);
    emit(GST_LEVEL_WARNING, "warning");
    emit(GST_LEVEL_LOG, "log");
    EXPECT_TRUE(lines().empty());
    record_lines(log_level::trace);
    emit(GST_LEVEL_LOG, "log");
    handled = lines();
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].level, log_level::trace);
}

TEST_F(LogHandler, CarriesTheUnitOfBackendLines) {
    zorvtest::ShmGuard guard;
    record_lines(log_level::trace);
    { zorvgst::frame_writer writer(guard.name(), 4, 2); }
    bool posix_line = false;
    for (const auto& line : lines()) {
        posix_line = posix_line || (line.unit == "posix_double_buffer" &&
                                    line.message.find(guard.name()) != std::string::npos);
    }
    EXPECT_TRUE(posix_line);
}

TEST_F(LogHandler, LinesItCausesAreDroppedAndItMayRemoveItself) {
    LogCapture capture;
    int calls = 0;
    zorvgst::set_log_handler(
        [&](log_level, std::string_view, std::string_view message) {
            ++calls;
            emit(GST_LEVEL_ERROR, "from inside the handler");
            if (message == "last") {
                zorvgst::set_log_handler(nullptr);
            }
        },
        log_level::trace);
    emit(GST_LEVEL_WARNING, "first");
    emit(GST_LEVEL_WARNING, "last");
    emit(GST_LEVEL_WARNING, "after");
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(capture.with_message("from inside the handler").empty());
    EXPECT_EQ(capture.with_message("after").size(), 1u);
}

TEST_F(LogHandler, ReplacingWaitsForTheCallInProgress) {
    std::mutex gate_mutex;
    std::condition_variable gate;
    bool entered = false;
    bool released = false;
    std::atomic<bool> old_handler_running{false};
    zorvgst::set_log_handler(
        [&](log_level, std::string_view, std::string_view) {
            old_handler_running = true;
            std::unique_lock<std::mutex> lock(gate_mutex);
            entered = true;
            gate.notify_all();
            gate.wait(lock, [&] { return released; });
            old_handler_running = false;
        },
        log_level::trace);
    std::thread logging([this] { emit(GST_LEVEL_WARNING, "held"); });
    {
        std::unique_lock<std::mutex> lock(gate_mutex);
        ASSERT_TRUE(gate.wait_for(lock, std::chrono::seconds(10), [&] { return entered; }));
    }
    std::atomic<bool> replaced{false};
    bool running_when_replaced = true;
    std::thread replacing([&] {
        zorvgst::set_log_handler(nullptr);
        running_when_replaced = old_handler_running;
        replaced = true;
    });
    // However long the handler runs, its replacement waits for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(replaced);
    {
        const std::lock_guard<std::mutex> lock(gate_mutex);
        released = true;
    }
    gate.notify_all();
    logging.join();
    replacing.join();
    EXPECT_TRUE(replaced);
    EXPECT_FALSE(running_when_replaced);
}

TEST_F(LogHandler, SwappedWhileThreadsLogEveryLineGoesToOneSide) {
    LogCapture capture(log4cxx::Level::getWarn());
    constexpr int per_thread = 300;
    std::atomic<int> handled{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < per_thread; ++i) {
                emit(GST_LEVEL_WARNING, "concurrent");
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        zorvgst::set_log_handler([&](log_level, std::string_view, std::string_view) { ++handled; },
                                 log_level::warn);
        zorvgst::set_log_handler(nullptr);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    // A line racing with a removal may be dropped, never delivered twice.
    EXPECT_LE(handled + capture.with_message("concurrent").size(), 3u * per_thread);
    emit(GST_LEVEL_WARNING, "settled");
    EXPECT_EQ(capture.with_message("settled").size(), 1u);
}

} // namespace
