// SPDX-License-Identifier: LGPL-2.1-or-later
// Library frame: log redirection from GStreamer, the logging statements, version and constants.
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <zorvgst/library.h>

#include "internal/log.h"
#include "support/capture_appender.h"
#include "support/case_name.h"

namespace {

using zorvtest::LogCapture;

const char* const redirect_signature =
    "void gst_logging_redirect_cb(GstDebugCategory*, GstDebugLevel, const gchar*, const gchar*, "
    "gint, GObject*, GstDebugMessage*, gpointer)";

class GstLogRedirect : public ::testing::Test {
protected:
    void SetUp() override {
        category_ = _gst_debug_category_new("zorvtest", 0, "redirect tests");
        gst_debug_category_set_threshold(category_, GST_LEVEL_MEMDUMP);
    }

    void emit(GstDebugLevel level, const char* text) {
        gst_debug_log(category_, level, "origin.c", "origin_function", 42, nullptr, "%s", text);
    }

    GstDebugCategory* category_ = nullptr;
};

struct level_case {
    GstDebugLevel gst_level;
    int log4cxx_level;
    const char* name;
};

class GstLogRedirectLevels : public GstLogRedirect,
                             public ::testing::WithParamInterface<level_case> {};

TEST_P(GstLogRedirectLevels, ArrivesAtMappedLevelWithExactTextAndOwnLocation) {
    LogCapture capture;
    const std::string text = "frame 17 of %s dropped: 100% \"quoted\"";
    emit(GetParam().gst_level, text.c_str());

    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, GetParam().log4cxx_level);
    EXPECT_EQ(lines[0].message, text);
    EXPECT_EQ(lines[0].file, "zorvgst");
    EXPECT_EQ(lines[0].function, redirect_signature);
    EXPECT_GT(lines[0].line, 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryForwardedLevel, GstLogRedirectLevels,
    ::testing::Values(level_case{GST_LEVEL_ERROR, log4cxx::Level::ERROR_INT, "Error"},
                      level_case{GST_LEVEL_WARNING, log4cxx::Level::WARN_INT, "Warning"},
                      level_case{GST_LEVEL_DEBUG, log4cxx::Level::DEBUG_INT, "Debug"},
                      level_case{GST_LEVEL_LOG, log4cxx::Level::TRACE_INT, "Log"},
                      level_case{GST_LEVEL_TRACE, log4cxx::Level::TRACE_INT, "Trace"}),
    zorvtest::case_name());

TEST_F(GstLogRedirect, FixmeInfoAndMemdumpNeverArrive) {
    LogCapture capture(log4cxx::Level::getAll());
    emit(GST_LEVEL_FIXME, "fixme");
    emit(GST_LEVEL_INFO, "info");
    emit(GST_LEVEL_MEMDUMP, "memdump");
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(GstLogRedirect, DisabledLevelProducesNoEvent) {
    LogCapture capture(log4cxx::Level::getError());
    emit(GST_LEVEL_WARNING, "warning while warn is off");
    emit(GST_LEVEL_DEBUG, "debug while debug is off");
    EXPECT_TRUE(capture.lines().empty());
    emit(GST_LEVEL_ERROR, "error still on");
    EXPECT_EQ(capture.lines().size(), 1u);
}

TEST_F(GstLogRedirect, MessagesFromStreamingThreadsAllArrive) {
    LogCapture capture;
    constexpr int per_thread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < per_thread; ++i) {
                emit(GST_LEVEL_WARNING, "concurrent");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(capture.with_message("concurrent").size(), 4u * per_thread);
}

int evaluations = 0;
int counted_value() {
    return ++evaluations;
}

TEST(LogStatement, BuildsNothingWhenLevelDisabled) {
    evaluations = 0;
    {
        LogCapture capture(log4cxx::Level::getInfo());
        ZORV_LOG_DEBUG("value " << counted_value());
        ZORV_LOG_TRACE("value " << counted_value());
        EXPECT_TRUE(capture.lines().empty());
    }
    EXPECT_EQ(evaluations, 0);
}

// The level test reads the logger's cached threshold: it must follow a level the logger only
// inherits, changed on its parent after the logger was created.
TEST(LogStatement, InheritedLevelFollowsChangesOnTheParent) {
    LogCapture capture;
    const log4cxx::LoggerPtr root = log4cxx::Logger::getRootLogger();
    const log4cxx::LevelPtr saved_root = root->getLevel();
    logger->setLevel(nullptr);
    root->setLevel(log4cxx::Level::getWarn());
    ZORV_LOG_DEBUG("hidden");
    root->setLevel(log4cxx::Level::getTrace());
    ZORV_LOG_TRACE("shown");
    root->setLevel(log4cxx::Level::getError());
    ZORV_LOG_WARN("hidden again");
    root->setLevel(saved_root);
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "shown");
}

TEST(LogStatement, StreamsFragmentsWithSourceUnitAndSignature) {
    LogCapture capture;
    ZORV_LOG_WARN("Size Correct (" << 40u << ") " << -3 << " " << 1.5);
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, log4cxx::Level::WARN_INT);
    EXPECT_EQ(lines[0].message, "Size Correct (40) -3 1.5");
    EXPECT_EQ(lines[0].file, ZORVGST_LOG_SOURCE);
    EXPECT_NE(lines[0].function.find("StreamsFragmentsWithSourceUnitAndSignature"),
              std::string::npos);
}

TEST(LibraryIdentity, VersionAndBuild) {
    EXPECT_STREQ(zorvgstlib_version(), "1.3.0");
    const std::string build = zorvgstlib_build();
    ASSERT_EQ(build.size(), 4u);
    EXPECT_EQ(build, "\"64\"");
    EXPECT_EQ(zorvgstlib_version(), zorvgstlib_version());
}

TEST(LibraryConstants, StateIconsIndexedByGstState) {
    EXPECT_EQ(STATE_ICONS[GST_STATE_VOID_PENDING], "Pending");
    EXPECT_EQ(STATE_ICONS[GST_STATE_NULL], "Null");
    EXPECT_EQ(STATE_ICONS[GST_STATE_READY], "Ready");
    EXPECT_EQ(STATE_ICONS[GST_STATE_PAUSED], "Paused");
    EXPECT_EQ(STATE_ICONS[GST_STATE_PLAYING], "Playing");
}

TEST(LibraryConstants, ColorspaceCapsParseAsPackedBgra) {
    EXPECT_STREQ(COLORSPACE_CAPS_STRING,
                 "video/x-raw,format=BGRA,interlace-mode=progressive,pixel-aspect-ratio=1/1");
    GstCaps* caps = gst_caps_from_string(COLORSPACE_CAPS_STRING);
    ASSERT_NE(caps, nullptr);
    GstStructure* structure = gst_caps_get_structure(caps, 0);
    EXPECT_STREQ(gst_structure_get_string(structure, "format"), "BGRA");
    gst_caps_unref(caps);
}

} // namespace
