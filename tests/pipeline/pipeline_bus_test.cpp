// SPDX-License-Identifier: LGPL-2.1-or-later
// The ready-made bus watch: lines per message type, loop quitting and the duration record.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <zorvgst/pipeline.h>

#include "support/capture_appender.h"
#include "support/pipeline_support.h"

namespace {

using zorvtest::LogCapture;
using zorvtest::Pipeline;

const char* const bus_signature = "gboolean standard_bus_cb(GstBus*, GstMessage*, gpointer)";

std::string path_of(GstElement* element) {
    gchar* path = gst_object_get_path_string(GST_OBJECT(element));
    std::string text = path;
    g_free(path);
    return text;
}

class StandardBusCb : public ::testing::Test {
protected:
    void SetUp() override {
        loop_ = g_main_loop_new(nullptr, FALSE);
        ASSERT_NE(pipeline_.get(), nullptr);
        source_ = pipeline_.child("source");
        ASSERT_NE(source_, nullptr);
        data_ = bus_cb_data_t{loop_, pipeline_.get(), -2};
    }
    void TearDown() override { g_main_loop_unref(loop_); }

    struct dispatch_result {
        gboolean returned;
        bool quit_loop;
    };

    // Hands `message` to the callback from inside the running loop, the way a bus watch does,
    // and tells whether the callback quit the loop. Takes the message.
    dispatch_result dispatch(GstMessage* message) {
        struct context {
            GstMessage* message;
            bus_cb_data_t* data;
            gboolean returned;
            bool second_idle_ran;
        } ctx{message, &data_, FALSE, false};
        // The callback runs first; the lower-priority idle only runs if the loop is still going.
        g_idle_add_full(
            G_PRIORITY_HIGH,
            [](gpointer p) -> gboolean {
                auto* c = static_cast<context*>(p);
                c->returned = standard_bus_cb(nullptr, c->message, c->data);
                return G_SOURCE_REMOVE;
            },
            &ctx, nullptr);
        guint second = g_idle_add_full(
            G_PRIORITY_LOW,
            [](gpointer p) -> gboolean {
                auto* c = static_cast<context*>(p);
                c->second_idle_ran = true;
                g_main_loop_quit(c->data->loop);
                return G_SOURCE_REMOVE;
            },
            &ctx, nullptr);
        const bool ended = zorvtest::run_main_loop(loop_, std::chrono::seconds(2));
        EXPECT_TRUE(ended) << "the loop did not end in time";
        if (!ctx.second_idle_ran) {
            g_source_remove(second);
        }
        gst_message_unref(message);
        return {ctx.returned, !ctx.second_idle_ran};
    }

    GError* make_error(GQuark domain, gint code, const char* text) {
        return g_error_new_literal(domain, code, text);
    }

    GMainLoop* loop_ = nullptr;
    Pipeline pipeline_{"videotestsrc name=source num-buffers=3 ! "
                       "video/x-raw,width=16,height=8,framerate=30/1 ! fakesink name=sink"};
    GstElement* source_ = nullptr;
    bus_cb_data_t data_{};
};

TEST_F(StandardBusCb, EndOfStreamLogsAndQuitsTheLoop) {
    LogCapture capture;
    auto result = dispatch(gst_message_new_eos(GST_OBJECT(source_)));
    EXPECT_TRUE(result.returned);
    EXPECT_TRUE(result.quit_loop);
    auto lines = capture.with_message("GST_MESSAGE_EOS");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, log4cxx::Level::DEBUG_INT);
    EXPECT_EQ(lines[0].file, "zorvgst");
    EXPECT_EQ(lines[0].function, bus_signature);
}

TEST_F(StandardBusCb, ErrorLogsMessageAndDebugTextAndQuitsTheLoop) {
    LogCapture capture;
    GError* error = make_error(GST_STREAM_ERROR, GST_STREAM_ERROR_DECODE, "bad frame");
    auto result = dispatch(gst_message_new_error(GST_OBJECT(source_), error, "at row 3"));
    g_error_free(error);
    EXPECT_TRUE(result.returned);
    EXPECT_TRUE(result.quit_loop);
    auto lines = capture.with_message("Error: bad frame at row 3");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, log4cxx::Level::ERROR_INT);

    // A second error quits again; an absent debug text is written as a placeholder.
    error = make_error(GST_CORE_ERROR, GST_CORE_ERROR_FAILED, "again");
    result = dispatch(gst_message_new_error(GST_OBJECT(source_), error, nullptr));
    g_error_free(error);
    EXPECT_TRUE(result.quit_loop);
    EXPECT_EQ(capture.with_message("Error: again (null)").size(), 1u);
}

TEST_F(StandardBusCb, ErrorWithErrorLevelDisabledStillQuits) {
    LogCapture capture(log4cxx::Level::getFatal());
    GError* error = make_error(GST_CORE_ERROR, GST_CORE_ERROR_FAILED, "quiet");
    auto result = dispatch(gst_message_new_error(GST_OBJECT(source_), error, "debug"));
    g_error_free(error);
    EXPECT_TRUE(result.returned);
    EXPECT_TRUE(result.quit_loop);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(StandardBusCb, WarningAndInfoAreLoggedAndLeaveTheLoopRunning) {
    LogCapture capture;
    GError* error = make_error(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_BUSY, "device busy");
    auto result = dispatch(gst_message_new_warning(GST_OBJECT(source_), error, "not logged"));
    EXPECT_TRUE(result.returned);
    EXPECT_FALSE(result.quit_loop);
    const std::string warning = "from element " + path_of(source_) + ":" +
                                std::to_string(GST_RESOURCE_ERROR_BUSY) + ":device busy";
    auto warned = capture.with_message(warning);
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_EQ(warned[0].level, log4cxx::Level::WARN_INT);

    result = dispatch(gst_message_new_info(GST_OBJECT(source_), error, "details"));
    EXPECT_FALSE(result.quit_loop);
    result = dispatch(gst_message_new_info(GST_OBJECT(source_), error, nullptr));
    EXPECT_FALSE(result.quit_loop);
    g_error_free(error);
    auto infos = capture.with_message("device busy details");
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0].level, log4cxx::Level::INFO_INT);
    EXPECT_EQ(capture.with_message("device busy (null)").size(), 1u);
    EXPECT_EQ(capture.lines().size(), 3u);
}

TEST_F(StandardBusCb, TagAndQosAreSilentAtEveryLevel) {
    LogCapture capture(log4cxx::Level::getAll());
    auto tag = dispatch(gst_message_new_tag(GST_OBJECT(source_), gst_tag_list_new_empty()));
    auto qos = dispatch(gst_message_new_qos(GST_OBJECT(source_), FALSE, 0, 0, 0, GST_MSECOND));
    EXPECT_TRUE(tag.returned);
    EXPECT_TRUE(qos.returned);
    EXPECT_FALSE(tag.quit_loop);
    EXPECT_FALSE(qos.quit_loop);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(StandardBusCb, StateChangesAndStreamStatusAreTracedWithSourcePath) {
    LogCapture capture;
    dispatch(gst_message_new_state_changed(GST_OBJECT(pipeline_.get()), GST_STATE_READY,
                                           GST_STATE_PAUSED, GST_STATE_PLAYING));
    dispatch(
        gst_message_new_stream_status(GST_OBJECT(source_), GST_STREAM_STATUS_TYPE_ENTER, source_));
    // A state number that is no state is written as its number.
    dispatch(gst_message_new_state_changed(GST_OBJECT(source_), static_cast<GstState>(7),
                                           GST_STATE_NULL, GST_STATE_VOID_PENDING));

    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].message,
              path_of(pipeline_.get()) + " State Changed: Ready -> Paused(Playing)");
    EXPECT_EQ(lines[1].message,
              path_of(source_) + " Stream Status: " + std::to_string(GST_STREAM_STATUS_TYPE_ENTER));
    EXPECT_EQ(lines[2].message, path_of(source_) + " State Changed: 7 -> Null(Pending)");
    for (const auto& line : lines) {
        EXPECT_EQ(line.level, log4cxx::Level::TRACE_INT);
    }
}

TEST_F(StandardBusCb, UnlistedTypesAreNamedAtDebug) {
    LogCapture capture;
    dispatch(gst_message_new_buffering(GST_OBJECT(source_), 50));
    dispatch(gst_message_new_latency(GST_OBJECT(source_)));
    dispatch(gst_message_new_element(GST_OBJECT(source_), gst_structure_new_empty("custom")));
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].message, "Got buffering message");
    EXPECT_EQ(lines[1].message, "Got latency message");
    EXPECT_EQ(lines[2].message, "Got element message");
    EXPECT_EQ(capture.count_at(log4cxx::Level::DEBUG_INT), 3u);
}

TEST_F(StandardBusCb, DurationIsQueriedAfterDurationChangedAndAsyncDone) {
    ASSERT_EQ(gst_element_set_state(pipeline_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_ASYNC);
    ASSERT_EQ(gst_element_get_state(pipeline_.get(), nullptr, nullptr, 5 * GST_SECOND),
              GST_STATE_CHANGE_SUCCESS);
    LogCapture capture;
    dispatch(gst_message_new_duration_changed(GST_OBJECT(pipeline_.get())));
    // Three frames at 30 per second.
    EXPECT_EQ(data_.duration, 100000000);
    data_.duration = -2;
    dispatch(gst_message_new_async_done(GST_OBJECT(pipeline_.get()), GST_CLOCK_TIME_NONE));
    EXPECT_EQ(data_.duration, 100000000);
    EXPECT_EQ(capture.with_message("Video Duration after GST_MESSAGE_DURATION_CHANGED: [100000000]")
                  .size(),
              1u);
    EXPECT_EQ(
        capture.with_message("Video Duration after GST_MESSAGE_ASYNC_DONE: [100000000]").size(),
        1u);
}

TEST_F(StandardBusCb, DurationThatCannotBeQueriedIsReported) {
    Pipeline empty(gst_pipeline_new("empty"));
    data_.pipeline = empty.get();
    LogCapture capture;
    dispatch(gst_message_new_async_done(GST_OBJECT(empty.get()), GST_CLOCK_TIME_NONE));
    dispatch(gst_message_new_duration_changed(GST_OBJECT(empty.get())));
    EXPECT_EQ(
        capture.with_message("Could Not Query Video Duration after GST_MESSAGE_ASYNC_DONE").size(),
        1u);
    EXPECT_EQ(
        capture.with_message("Could Not Query Video Duration after GST_MESSAGE_DURATION_CHANGED")
            .size(),
        1u);
}

TEST_F(StandardBusCb, InstalledAsBusWatchRunsAPipelineToEndOfStream) {
    GstBus* bus = gst_element_get_bus(pipeline_.get());
    const guint watch = gst_bus_add_watch(bus, standard_bus_cb, &data_);
    gst_object_unref(bus);
    LogCapture capture;

    ASSERT_NE(gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    const bool quit_by_callback = zorvtest::run_main_loop(loop_, std::chrono::seconds(5));
    g_source_remove(watch);

    EXPECT_TRUE(quit_by_callback);
    EXPECT_EQ(capture.with_message("GST_MESSAGE_EOS").size(), 1u);
    EXPECT_EQ(
        capture.with_message(path_of(pipeline_.get()) + " State Changed: Ready -> Paused(Playing)")
            .size(),
        1u);
    EXPECT_EQ(
        capture.with_message("Video Duration after GST_MESSAGE_ASYNC_DONE: [100000000]").size(),
        1u);
    EXPECT_FALSE(capture.containing(" Stream Status: ").empty());
    EXPECT_EQ(capture.with_message("Got new-clock message").size(), 1u);
    EXPECT_EQ(data_.duration, 100000000);
}

} // namespace
