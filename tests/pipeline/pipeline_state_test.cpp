// SPDX-License-Identifier: LGPL-2.1-or-later
// State control of real pipelines: logged changes, already-met requests, toggling and refusals.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <zorvgst/pipeline.h>

#include "support/capture_appender.h"
#include "support/exit_report.h"
#include "support/pipeline_support.h"

namespace {

using zorvtest::expect_exit_reporting;
using zorvtest::LogCapture;
using zorvtest::Pipeline;

const char* const set_signature = "void set_element_state(GstElement*, GstState, GstClockTime)";

std::vector<std::string> messages_at(const LogCapture& capture, int level) {
    std::vector<std::string> found;
    for (const auto& line : capture.lines()) {
        if (line.level == level) {
            found.push_back(line.message);
        }
    }
    return found;
}

GstState current_state(GstElement* element, GstClockTime timeout = 5 * GST_SECOND) {
    GstState state = GST_STATE_VOID_PENDING;
    gst_element_get_state(element, &state, nullptr, timeout);
    return state;
}

// A pipeline named "main", the name the lines about it carry, and what is logged from then on.
struct main_pipeline {
    explicit main_pipeline(const char* description) : pipeline(description) {
        if (pipeline.get() != nullptr) {
            gst_object_set_name(GST_OBJECT(pipeline.get()), "main");
        }
    }
    // Runs `request` on the pipeline; the state it is in afterwards.
    GstState after(void (*request)(GstElement*)) {
        request(pipeline.get());
        return current_state(pipeline.get());
    }

    Pipeline pipeline;
    LogCapture capture;
};

// A pipeline that goes to PAUSED asynchronously and never completes: no buffer ever arrives.
const char* const never_prerolls = "appsrc name=src ! fakesink name=sink";
const char* const live = "videotestsrc is-live=true ! video/x-raw,width=16,height=8 ! fakesink";
const char* const fails_to_start = "filesrc location=/nonexistent/zorvtest/file ! fakesink";

TEST(SetElementState, SynchronousChangeLogsRequestAndSuccess) {
    Pipeline sink(gst_element_factory_make("fakesink", "lonely"));
    LogCapture capture;
    set_element_state(sink.get(), GST_STATE_READY, GST_SECOND);

    EXPECT_EQ(current_state(sink.get(), 0), GST_STATE_READY);
    EXPECT_EQ(
        messages_at(capture, log4cxx::Level::DEBUG_INT),
        (std::vector<std::string>{"Changing State of lonely to Ready", "State Change Success"}));
    auto lines = capture.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].file, "zorvgst");
    EXPECT_EQ(lines[0].function, set_signature);
}

TEST(SetElementState, AsynchronousChangeWaitsUntilComplete) {
    Pipeline pipeline("videotestsrc ! video/x-raw,width=16,height=8 ! fakesink");
    ASSERT_NE(pipeline.get(), nullptr);
    LogCapture capture;
    set_element_state(pipeline.get(), GST_STATE_PAUSED, 5 * GST_SECOND);

    // The wait is over when the call returns: no further time-out needed.
    EXPECT_EQ(current_state(pipeline.get(), 0), GST_STATE_PAUSED);
    auto debug = messages_at(capture, log4cxx::Level::DEBUG_INT);
    ASSERT_EQ(debug.size(), 4u);
    EXPECT_EQ(debug[1], "State Change Async -- Waiting");
    EXPECT_EQ(debug[2], "Waiting for State Change");
    EXPECT_EQ(debug[3], "State Change Async Complete");
    auto waiting = capture.with_message("Waiting for State Change");
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].function, "void wait_for_state_change(GstElement*, GstClockTime)");
}

TEST(SetElementState, LiveSourceReportsNoPreroll) {
    Pipeline pipeline(live);
    ASSERT_NE(pipeline.get(), nullptr);
    LogCapture capture;
    set_element_state(pipeline.get(), GST_STATE_PAUSED, GST_SECOND);
    EXPECT_EQ(capture.with_message("State Change Success, No Preroll").size(), 1u);
    EXPECT_EQ(current_state(pipeline.get(), 0), GST_STATE_PAUSED);
}

TEST(SetElementState, AsyncChangeBeyondTimeoutStillCompletesTheCall) {
    Pipeline pipeline(never_prerolls);
    ASSERT_NE(pipeline.get(), nullptr);
    LogCapture capture;
    set_element_state(pipeline.get(), GST_STATE_PAUSED, 50 * GST_MSECOND);

    EXPECT_EQ(capture.with_message("State Change Async Complete").size(), 1u);
    GstState state = GST_STATE_VOID_PENDING;
    GstState pending = GST_STATE_VOID_PENDING;
    EXPECT_EQ(gst_element_get_state(pipeline.get(), &state, &pending, 0), GST_STATE_CHANGE_ASYNC);
    EXPECT_EQ(pending, GST_STATE_PAUSED);
}

// A request for a state the element is already in or heading to: one warning, no change.
void expect_request_only_warns(GstElement* element, GstState state, const std::string& warning) {
    LogCapture capture;
    set_element_state(element, state, GST_SECOND);

    auto warned = capture.with_message(warning);
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_EQ(warned[0].level, log4cxx::Level::WARN_INT);
    EXPECT_TRUE(capture.containing("State Change").empty());
}

TEST(SetElementState, StateAlreadyReachedOnlyWarns) {
    Pipeline sink(gst_element_factory_make("fakesink", "ready_sink"));
    ASSERT_EQ(gst_element_set_state(sink.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
    expect_request_only_warns(sink.get(), GST_STATE_READY, "Element Already in State: Ready");
}

TEST(SetElementState, StateAlreadyPendingOnlyWarns) {
    Pipeline pipeline(never_prerolls);
    ASSERT_NE(pipeline.get(), nullptr);
    ASSERT_EQ(gst_element_set_state(pipeline.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_ASYNC);
    expect_request_only_warns(pipeline.get(), GST_STATE_PAUSED,
                              "Element Already Pending State: Paused");
}

TEST(GstPlayPause, PlayAndPauseAPipelineWithoutWaiting) {
    main_pipeline named(live);
    ASSERT_NE(named.pipeline.get(), nullptr);
    EXPECT_EQ(named.after(gst_play), GST_STATE_PLAYING);
    EXPECT_EQ(named.after(gst_pause), GST_STATE_PAUSED);

    EXPECT_EQ(messages_at(named.capture, log4cxx::Level::DEBUG_INT),
              (std::vector<std::string>{"Playing main", "Pausing main"}));
    EXPECT_EQ(named.capture.with_message("Playing main")[0].function, "void gst_play(GstElement*)");
    EXPECT_EQ(named.capture.with_message("Pausing main")[0].function,
              "void gst_pause(GstElement*)");
}

TEST(GstPlayPause, RequestsAlreadyMetOnlyWarn) {
    Pipeline pipeline(live);
    ASSERT_NE(pipeline.get(), nullptr);
    const auto only_warns = [&](void (*request)(GstElement*), const std::string& warning) {
        LogCapture capture;
        request(pipeline.get());
        EXPECT_EQ(messages_at(capture, log4cxx::Level::WARN_INT),
                  std::vector<std::string>{warning});
        EXPECT_TRUE(messages_at(capture, log4cxx::Level::DEBUG_INT).empty());
    };
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    ASSERT_EQ(current_state(pipeline.get()), GST_STATE_PLAYING);
    only_warns(gst_play, "Element Already Playing");
    ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
    ASSERT_EQ(current_state(pipeline.get()), GST_STATE_PAUSED);
    only_warns(gst_pause, "Element Already Paused");
}

TEST(GstPlayPause, RefusedPlayIsLoggedAndTheProcessGoesOn) {
    Pipeline pipeline(fails_to_start);
    ASSERT_NE(pipeline.get(), nullptr);
    LogCapture capture;
    gst_play(pipeline.get());
    auto failed = capture.with_message("Failed to Play Element");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].level, log4cxx::Level::ERROR_INT);
}

TEST(PlayOrPause, TogglesBetweenPlayingAndPaused) {
    // Not live: a live source resumed from PAUSED now and then takes seconds to play again.
    main_pipeline named("videotestsrc ! video/x-raw,width=16,height=8 ! fakesink");
    ASSERT_NE(named.pipeline.get(), nullptr);
    // From NULL it plays, from PLAYING it pauses, from PAUSED it plays again.
    EXPECT_EQ(named.after(play_or_pause), GST_STATE_PLAYING);
    EXPECT_EQ(named.after(play_or_pause), GST_STATE_PAUSED);
    EXPECT_EQ(named.after(play_or_pause), GST_STATE_PLAYING);
    ASSERT_NE(gst_element_set_state(named.pipeline.get(), GST_STATE_READY),
              GST_STATE_CHANGE_FAILURE);
    ASSERT_EQ(current_state(named.pipeline.get()), GST_STATE_READY);
    // From READY it plays.
    EXPECT_EQ(named.after(play_or_pause), GST_STATE_PLAYING);

    EXPECT_EQ(
        messages_at(named.capture, log4cxx::Level::DEBUG_INT),
        (std::vector<std::string>{"Playing main", "Pausing main", "Playing main", "Playing main"}));
}

TEST(PlayOrPause, FailedLastChangeIsReportedAndNothingIsChanged) {
    Pipeline pipeline(fails_to_start);
    ASSERT_NE(pipeline.get(), nullptr);
    ASSERT_EQ(gst_element_set_state(pipeline.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
    LogCapture capture;
    play_or_pause(pipeline.get());

    auto failed = capture.with_message("Failed to Check Play/Pause State of Main Pipeline");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].level, log4cxx::Level::ERROR_INT);
    EXPECT_EQ(failed[0].function, "void play_or_pause(GstElement*)");
    EXPECT_EQ(capture.lines().size(), 1u); // neither "Playing ..." nor "Pausing ..."
}

TEST(SetElementStateDeathTest, RefusedChangeExits) {
    expect_exit_reporting(
        [] {
            Pipeline pipeline(fails_to_start);
            set_element_state(pipeline.get(), GST_STATE_PAUSED, GST_SECOND);
        },
        "<ERROR\\|Failed to Change Element State\\|");
}

TEST(SetElementStateDeathTest, ValueThatIsNoStateIsNamedByNumberAndRefused) {
    expect_exit_reporting(
        [] {
            Pipeline sink(gst_element_factory_make("fakesink", "odd"));
            set_element_state(sink.get(), static_cast<GstState>(7), GST_SECOND);
        },
        "<DEBUG\\|Changing State of odd to 7\\|[^\n]*>\n<ERROR\\|Failed to Change Element "
        "State\\|");
}

TEST(GstPauseDeathTest, RefusedPauseExits) {
    expect_exit_reporting(
        [] {
            Pipeline pipeline(fails_to_start);
            gst_pause(pipeline.get());
        },
        "<ERROR\\|Failed to Pause Element\\|");
}

TEST(SetElementStateDeathTest, ErrorLevelDisabledStillExitsSilently) {
    const auto fatal = log4cxx::Level::getFatal();
    expect_exit_reporting(
        [] {
            Pipeline pipeline(fails_to_start);
            set_element_state(pipeline.get(), GST_STATE_PAUSED, GST_SECOND);
        },
        "^$", fatal);
    expect_exit_reporting(
        [] {
            Pipeline pipeline(fails_to_start);
            gst_pause(pipeline.get());
        },
        "^$", fatal);
}

} // namespace
