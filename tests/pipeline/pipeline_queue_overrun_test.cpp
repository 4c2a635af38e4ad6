// SPDX-License-Identifier: LGPL-2.1-or-later
// Overrun warnings of a queue that really runs full.
#include <string>

#include <gtest/gtest.h>

#include <zorvgst/pipeline.h>

#include "support/capture_appender.h"
#include "support/child_process.h"
#include "support/pipeline_support.h"

namespace {

using zorvtest::LogCapture;
using zorvtest::Pipeline;

// 16 x 64 BGRx frames are 4096 bytes. The sink prerolls on the first frame and holds it, so in
// PAUSED the queue fills up with the next 200 and the source then finds it full.
const char* const filling_pipeline =
    "videotestsrc ! video/x-raw,format=BGRx,width=16,height=64,framerate=30/1 ! "
    "( name=inner queue name=q max-size-buffers=200 max-size-bytes=0 max-size-time=0 ) ! "
    "fakesink";

const char* const warning_prefix =
    "Queue Buffer Overrrun -- Settings Need Adjustment -- q -- Buffers: 200, Bytes: 819200, Time: ";

TEST(QueueOverrun, QueueInChildBinRunningFullIsReportedWithItsLevels) {
    Pipeline pipeline(filling_pipeline);
    ASSERT_NE(pipeline.get(), nullptr);
    LogCapture capture;
    add_queue_overrun_callback(pipeline.bin(), "q");
    EXPECT_TRUE(capture.lines().empty());

    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
    ASSERT_TRUE(zorvtest::wait_until([&] { return !capture.containing("Overrrun").empty(); }));

    auto warned = capture.containing("Overrrun");
    const auto& line = warned[0];
    EXPECT_EQ(line.level, log4cxx::Level::WARN_INT);
    EXPECT_EQ(line.file, "zorvgst");
    EXPECT_EQ(line.function, "void queue_overrun_callback(GstElement*, gpointer)");
    ASSERT_EQ(line.message.rfind(warning_prefix, 0), 0u) << line.message;

    // The last figure is the time the queue holds in nanoseconds: about 200 frames of 1/30 s.
    const std::string figure = line.message.substr(std::string(warning_prefix).size());
    ASSERT_FALSE(figure.empty());
    ASSERT_EQ(figure.find_first_not_of("0123456789"), std::string::npos) << figure;
    const guint64 level_time = std::stoull(figure);
    EXPECT_GE(level_time, 199 * GST_SECOND / 30);
    EXPECT_LE(level_time, 201 * GST_SECOND / 30);
}

TEST(QueueOverrun, WarnDisabledWritesNothing) {
    Pipeline pipeline(filling_pipeline);
    ASSERT_NE(pipeline.get(), nullptr);
    add_queue_overrun_callback(pipeline.bin(), "q");
    gulong probe_hits = 0;
    // A second handler tells us that the queue did overrun while the first stayed silent.
    g_signal_connect(pipeline.child("q"), "overrun",
                     G_CALLBACK(+[](GstElement*, gpointer hits) { ++*static_cast<gulong*>(hits); }),
                     &probe_hits);
    LogCapture capture(log4cxx::Level::getError());

    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
    ASSERT_TRUE(zorvtest::wait_until([&] { return g_atomic_pointer_get(&probe_hits) != 0; }));
    EXPECT_TRUE(capture.lines().empty());
}

TEST(QueueOverrun, MissingNameIsReportedAndNothingIsConnected) {
    Pipeline pipeline(filling_pipeline);
    ASSERT_NE(pipeline.get(), nullptr);
    LogCapture capture;
    add_queue_overrun_callback(pipeline.bin(), "no_such_queue");

    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Could Not Add Queue Overrun Callback for Queue: no_such_queue");
    EXPECT_EQ(lines[0].level, log4cxx::Level::ERROR_INT);
    EXPECT_EQ(lines[0].function, "void add_queue_overrun_callback(GstBin*, const char*)");
    EXPECT_EQ(g_signal_handler_find(pipeline.child("q"), G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                    reinterpret_cast<gpointer>(queue_overrun_callback), nullptr),
              0u);
}

TEST(QueueOverrun, ElementWithoutFillLevelsReportsZeros) {
    // Any element may be connected by hand; levels it does not have read as 0, without warnings.
    Pipeline identity(gst_element_factory_make("identity", "not_a_queue"));
    LogCapture capture;
    queue_overrun_callback(identity.get(), nullptr);
    EXPECT_EQ(capture
                  .with_message("Queue Buffer Overrrun -- Settings Need Adjustment -- "
                                "not_a_queue -- Buffers: 0, Bytes: 0, Time: 0")
                  .size(),
              1u);
}

} // namespace
