// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvdbsrc alone (GstHarness) and in small pipelines: frames, caps, timestamps, stopping.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gst/app/gstappsink.h>
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/library.h>
#include <zorvgst/posix_double_buffer.h>

#include "plugin_env.h"
#include "support/capture_appender.h"
#include "support/child_process.h"
#include "support/raw_shm.h"
#include "support/shm_guard.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using zorvtest::ShmGuard;

GstBuffer* pull_within(GstHarness* harness, std::chrono::milliseconds timeout) {
    GstBuffer* buffer = nullptr;
    zorvtest::wait_until(
        [&] {
            buffer = gst_harness_try_pull(harness);
            return buffer != nullptr;
        },
        timeout);
    return buffer;
}

std::vector<guint8> bytes_of(GstBuffer* buffer) {
    std::vector<guint8> bytes(gst_buffer_get_size(buffer));
    gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
    return bytes;
}

void expect_caps_size(GstHarness* harness, int width, int height) {
    GstCaps* caps = gst_pad_get_current_caps(harness->sinkpad);
    ASSERT_NE(caps, nullptr);
    const GstStructure* structure = gst_caps_get_structure(caps, 0);
    int w = 0;
    int h = 0;
    EXPECT_TRUE(gst_structure_get_int(structure, "width", &w));
    EXPECT_TRUE(gst_structure_get_int(structure, "height", &h));
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, height);
    EXPECT_STREQ(gst_structure_get_string(structure, "format"), "BGRA");
    gst_caps_unref(caps);
}

GstHarness* src_harness(const std::string& name, const char* backend = "posix") {
    GstHarness* harness = gst_harness_new("zorvdbsrc");
    gst_util_set_object_arg(G_OBJECT(harness->element), "backend", backend);
    g_object_set(harness->element, "buffer-name", name.c_str(), nullptr);
    gst_harness_play(harness);
    return harness;
}

// A source on a buffer whose 4x2 first frame it has already pushed, with caps of that size.
void start_past_first_frame(const std::string& name, GstHarness*& harness) {
    ASSERT_TRUE(plugintest::publish_frame(name, 4, 2, plugintest::make_frame(4, 2, 1)));
    harness = src_harness(name);
    GstBuffer* buffer = pull_within(harness, 3000ms);
    ASSERT_NE(buffer, nullptr);
    expect_caps_size(harness, 4, 2);
    gst_buffer_unref(buffer);
}

class DbSrcBackend : public ::testing::TestWithParam<std::string> {};

TEST_P(DbSrcBackend, PushesEachPublicationWithCapsFromTheBuffer) {
    ShmGuard guard;
    const std::string backend = GetParam();
    // The source starts first and waits for its writer.
    GstHarness* harness = src_harness(guard.name(), backend.c_str());
    std::this_thread::sleep_for(50ms);
    const auto first = plugintest::make_frame(4, 2, 1);
    ASSERT_TRUE(plugintest::publish_frame(guard.name(), 4, 2, first, backend));
    GstBuffer* buffer = pull_within(harness, 3000ms);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(bytes_of(buffer), first);
    EXPECT_TRUE(GST_BUFFER_PTS_IS_VALID(buffer));
    expect_caps_size(harness, 4, 2);
    gst_buffer_unref(buffer);

    // Nothing new published: nothing pushed.
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(gst_harness_try_pull(harness), nullptr);

    const auto second = plugintest::make_frame(4, 2, 2);
    ASSERT_TRUE(plugintest::publish_frame(guard.name(), 4, 2, second, backend));
    buffer = pull_within(harness, 3000ms);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(bytes_of(buffer), second);
    gst_buffer_unref(buffer);
    guint64 dropped = 1;
    g_object_get(harness->element, "dropped", &dropped, nullptr);
    EXPECT_EQ(dropped, 0u);
    gst_harness_teardown(harness);
}

INSTANTIATE_TEST_SUITE_P(Backends, DbSrcBackend, ::testing::Values("posix", "sysv"));

TEST(DbSrc, RenegotiatesWhenTheWriterResizesTheBuffer) {
    ShmGuard guard;
    GstHarness* harness = nullptr;
    ASSERT_NO_FATAL_FAILURE(start_past_first_frame(guard.name(), harness));

    // The writer reopens at another size: the object is resized in place and its header reset.
    const auto larger = plugintest::make_frame(7, 3, 4);
    ASSERT_TRUE(plugintest::publish_frame(guard.name(), 7, 3, larger));
    GstBuffer* buffer = pull_within(harness, 3000ms);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(bytes_of(buffer), larger);
    EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT));
    expect_caps_size(harness, 7, 3);
    gst_buffer_unref(buffer);
    gst_harness_teardown(harness);
}

TEST(DbSrc, FollowsABufferRemovedAndMadeAgainUnderItsName) {
    ShmGuard guard;
    GstHarness* harness = nullptr;
    ASSERT_NO_FATAL_FAILURE(start_past_first_frame(guard.name(), harness));

    // Same name and size, new object: the old mapping would never see another frame.
    posix_double_buffer_t::remove(guard.c_str());
    const auto fresh = plugintest::make_frame(4, 2, 8);
    ASSERT_TRUE(plugintest::publish_frame(guard.name(), 4, 2, fresh));
    GstBuffer* buffer = pull_within(harness, 3000ms);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(bytes_of(buffer), fresh);
    gst_buffer_unref(buffer);
    gst_harness_teardown(harness);
}

// Runs `stop` on a PLAYING "zorvdbsrc ! fakesink" that waits for a writer that never comes,
// and returns how long the pipeline took to reach the expected end.
template <typename Stop>
std::chrono::milliseconds time_to_stop(const std::string& name, Stop stop) {
    plugintest::Pipeline pipeline("zorvdbsrc name=src buffer-name=" + name + " ! fakesink");
    EXPECT_NE(pipeline.get(), nullptr) << pipeline.parse_error();
    if (pipeline.get() == nullptr) {
        return std::chrono::milliseconds::max();
    }
    pipeline.play();
    // Live source: no preroll to wait for; give the streaming thread time to start waiting.
    std::this_thread::sleep_for(150ms);
    const auto start = steady::now();
    stop(pipeline.get());
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start);
}

TEST(DbSrc, WaitingStopsPromptlyOnNullEosAndFlush) {
    ShmGuard guard;
    const auto to_null = time_to_stop(guard.name(), [](GstElement* pipeline) {
        EXPECT_EQ(gst_element_set_state(pipeline, GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    });
    EXPECT_LT(to_null, 500ms);

    const auto to_eos = time_to_stop(guard.name(), [](GstElement* pipeline) {
        EXPECT_TRUE(gst_element_send_event(pipeline, gst_event_new_eos()));
        GstMessage* message = plugintest::wait_for_message(pipeline, GST_MESSAGE_EOS, 3000ms);
        EXPECT_NE(message, nullptr);
        if (message != nullptr) {
            gst_message_unref(message);
        }
    });
    EXPECT_LT(to_eos, 500ms);

    const auto to_flush = time_to_stop(guard.name(), [](GstElement* pipeline) {
        GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "src");
        ASSERT_NE(source, nullptr);
        GstPad* pad = gst_element_get_static_pad(source, "src");
        // A flush sent to the source (as a flushing seek does) must end its wait.
        EXPECT_TRUE(gst_pad_send_event(pad, gst_event_new_flush_start()));
        EXPECT_TRUE(gst_pad_send_event(pad, gst_event_new_flush_stop(TRUE)));
        gst_object_unref(pad);
        gst_object_unref(source);
    });
    EXPECT_LT(to_flush, 500ms);
}

TEST(DbSrc, TimeoutWithoutWriterOrNewFrameEndsTheStreamWithAWarning) {
    ShmGuard guard;
    for (const bool with_one_frame : {false, true}) {
        if (with_one_frame) {
            ASSERT_TRUE(
                plugintest::publish_frame(guard.name(), 4, 2, plugintest::make_frame(4, 2, 3)));
        }
        plugintest::Pipeline pipeline("zorvdbsrc timeout=200000000 buffer-name=" + guard.name() +
                                      " ! appsink name=out sync=false");
        ASSERT_NE(pipeline.get(), nullptr) << pipeline.parse_error();
        const auto start = steady::now();
        pipeline.play();
        GstMessage* warning =
            plugintest::wait_for_message(pipeline.get(), GST_MESSAGE_WARNING, 3000ms);
        ASSERT_NE(warning, nullptr);
        gst_message_unref(warning);
        const auto elapsed = steady::now() - start;
        EXPECT_GE(elapsed, 190ms);
        EXPECT_LT(elapsed, 2000ms);
        // appsink holds EOS back until its samples are taken.
        GstElement* sink = pipeline.element("out");
        int frames = 0;
        while (GstSample* sample =
                   gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 500 * GST_MSECOND)) {
            ++frames;
            gst_sample_unref(sample);
        }
        gst_object_unref(sink);
        GstMessage* eos = plugintest::wait_for_message(pipeline.get(), GST_MESSAGE_EOS, 3000ms);
        ASSERT_NE(eos, nullptr);
        gst_message_unref(eos);
        // A frame already in the buffer is shown once; then the timeout ends the stream.
        EXPECT_EQ(frames, with_one_frame ? 1 : 0);
    }
}

TEST(DbSrc, NoTornFrameReachesDownstreamWhileTheWriterRaces) {
    ShmGuard guard;
    constexpr unsigned width = 1280;
    constexpr unsigned height = 720;
    constexpr std::size_t frame_bytes = std::size_t{width} * height * 4;
    double_buffer_t writer(guard.c_str(), boost::interprocess::read_write, width, height);
    ASSERT_TRUE(writer.is_valid());
    // The child must not log: a lock held by another thread at fork time would stay held.
    const log4cxx::LevelPtr saved_level = logger->getLevel();
    logger->setLevel(log4cxx::Level::getOff());
    // Each frame is one byte value throughout. In a burst of publications the writer refills,
    // right after each, the slot a reader may still be copying.
    zorvtest::ChildProcess child([&writer] {
        // Runs until the test has what it needs and kills it; the bound is a safety net.
        const auto end = steady::now() + 30s;
        for (unsigned value = 1; steady::now() < end; ++value) {
            writer.grab_write_sem();
            // Bottom row first, as a flipping writer would: the rows a reader has not copied
            // yet are the first to change.
            guint8* slot = writer.get_write_address();
            for (unsigned row = height; row-- > 0;) {
                std::memset(slot + std::size_t{row} * width * 4, static_cast<int>(value & 0xff),
                            std::size_t{width} * 4);
            }
            writer.release_write_sem();
            if (value % 8 == 0) {
                std::this_thread::sleep_for(3ms);
            }
        }
        return 0;
    });
    GstHarness* harness = src_harness(guard.name());
    int whole = 0;
    for (int frame = 0; frame < 40; ++frame) {
        GstBuffer* buffer = pull_within(harness, 3000ms);
        ASSERT_NE(buffer, nullptr) << "frame " << frame;
        const std::vector<guint8> bytes = bytes_of(buffer);
        gst_buffer_unref(buffer);
        ASSERT_EQ(bytes.size(), frame_bytes);
        whole += std::all_of(bytes.begin(), bytes.end(),
                             [&bytes](guint8 byte) { return byte == bytes.front(); })
                     ? 1
                     : 0;
    }
    guint64 dropped = 0;
    g_object_get(harness->element, "dropped", &dropped, nullptr);
    child.kill_and_reap(SIGKILL);
    gst_harness_teardown(harness);
    logger->setLevel(saved_level);
    EXPECT_EQ(whole, 40) << dropped << " copies dropped";
}

TEST(DbSrc, LargestTimeoutMeansWaitingForever) {
    ShmGuard guard;
    plugintest::Pipeline pipeline(
        "zorvdbsrc timeout=18446744073709551615 buffer-name=" + guard.name() + " ! fakesink");
    ASSERT_NE(pipeline.get(), nullptr);
    pipeline.play();
    GstMessage* message = plugintest::wait_for_message(
        pipeline.get(),
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_WARNING | GST_MESSAGE_ERROR),
        300ms);
    EXPECT_EQ(message, nullptr);
    if (message != nullptr) {
        gst_message_unref(message);
    }
}

TEST(DbSrc, TimestampsWithThePipelineClock) {
    ShmGuard guard;
    plugintest::Pipeline pipeline("zorvdbsrc buffer-name=" + guard.name() +
                                  " ! appsink name=out sync=false");
    ASSERT_NE(pipeline.get(), nullptr) << pipeline.parse_error();
    pipeline.play();
    GstElement* sink = pipeline.element("out");
    std::vector<GstClockTime> stamps;
    for (unsigned seed = 0; seed < 3; ++seed) {
        std::this_thread::sleep_for(30ms);
        ASSERT_TRUE(
            plugintest::publish_frame(guard.name(), 4, 2, plugintest::make_frame(4, 2, seed)));
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 3 * GST_SECOND);
        ASSERT_NE(sample, nullptr);
        stamps.push_back(GST_BUFFER_PTS(gst_sample_get_buffer(sample)));
        gst_sample_unref(sample);
    }
    GstClock* clock = gst_element_get_clock(pipeline.get());
    ASSERT_NE(clock, nullptr);
    const GstClockTime running =
        gst_clock_get_time(clock) - gst_element_get_base_time(pipeline.get());
    gst_object_unref(clock);
    gst_object_unref(sink);
    for (std::size_t i = 0; i < stamps.size(); ++i) {
        ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(stamps[i]));
        EXPECT_LE(stamps[i], running);
        if (i > 0) {
            // Publications were at least 30 ms apart.
            EXPECT_GE(stamps[i], stamps[i - 1] + 20 * GST_MSECOND);
        }
    }
}

// A 4x2-sized object whose header claims 30000x30000 frames and a fresh publication.
std::vector<unsigned char> object_with_oversized_header() {
    std::vector<unsigned char> bytes(compute_size(4, 2), 0);
    const std::uint32_t huge = 30000;
    std::memcpy(bytes.data() + 16, &huge, 4);
    std::memcpy(bytes.data() + 20, &huge, 4);
    const std::uint64_t count = 5;
    std::memcpy(bytes.data() + 32, &count, 8);
    const auto stamp = boost::posix_time::microsec_clock::local_time();
    std::memcpy(bytes.data() + 8, &stamp, 8);
    return bytes;
}

TEST(DbSrc, CorruptHeaderNeverLeadsOutsideTheObject) {
    ShmGuard guard;
    ASSERT_TRUE(zorvtest::create_raw_object(guard.name(), object_with_oversized_header()));

    plugintest::Pipeline pipeline("zorvdbsrc timeout=300000000 buffer-name=" + guard.name() +
                                  " ! appsink name=out sync=false");
    ASSERT_NE(pipeline.get(), nullptr);
    pipeline.play();
    GstMessage* message = plugintest::wait_for_message(
        pipeline.get(), static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR), 3000ms);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(message), GST_MESSAGE_EOS);
    gst_message_unref(message);
}

TEST(DbSrc, UnusableBufferIsRetriedAtAModestPace) {
    ShmGuard guard;
    // Every attempt to open this buffer fails and logs.
    ASSERT_TRUE(zorvtest::create_raw_object(guard.name(), object_with_oversized_header()));
    zorvtest::LogCapture capture;
    plugintest::Pipeline pipeline("zorvdbsrc timeout=600000000 buffer-name=" + guard.name() +
                                  " ! fakesink");
    ASSERT_NE(pipeline.get(), nullptr);
    pipeline.play();
    GstMessage* eos = plugintest::wait_for_message(pipeline.get(), GST_MESSAGE_EOS, 3000ms);
    ASSERT_NE(eos, nullptr);
    gst_message_unref(eos);
    const auto attempts = capture.containing("Exceed Shared Memory Size");
    // 600 ms at the reader's pace of one attachment per 100 ms (each may open the buffer twice),
    // not one per 10 ms wait slice.
    EXPECT_GE(attempts.size(), 1u);
    EXPECT_LE(attempts.size(), 16u);
}

} // namespace
