// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvdbsink alone (GstHarness) and in small pipelines: what it publishes and how it fails.
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gst/check/gstharness.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zorvgst/frames.h>
#include <zorvgst/posix_double_buffer.h>

#include "plugin_env.h"
#include "support/command.h"
#include "support/shm_guard.h"

namespace {

using namespace std::chrono_literals;
using zorvtest::ShmGuard;

GstHarness* sink_harness(const std::string& buffer_name, unsigned width, unsigned height,
                         const char* backend = "posix") {
    // Configured before the harness starts it: start() needs the buffer name.
    GstElement* sink = gst_element_factory_make("zorvdbsink", nullptr);
    gst_util_set_object_arg(G_OBJECT(sink), "backend", backend);
    g_object_set(sink, "buffer-name", buffer_name.c_str(), "sync", FALSE, nullptr);
    GstHarness* harness = gst_harness_new_with_element(sink, "sink", nullptr);
    gst_object_unref(sink);
    gst_harness_set_src_caps_str(harness, plugintest::sink_caps(width, height).c_str());
    return harness;
}

GstBuffer* packed_buffer(const std::vector<guint8>& frame) {
    return gst_buffer_new_memdup(frame.data(), frame.size());
}

// Whether the `backend` buffer `name` now publishes `frame`, `width` x `height` pixels.
::testing::AssertionResult publishes(const std::string& name, unsigned width, unsigned height,
                                     const std::vector<guint8>& frame,
                                     const std::string& backend = "posix") {
    const plugintest::published_frame seen = plugintest::read_published(name, backend);
    if (seen.width != width || seen.height != height) {
        return ::testing::AssertionFailure() << "publishes " << seen.width << "x" << seen.height
                                             << ", expected " << width << "x" << height;
    }
    if (seen.pixels != frame) {
        return ::testing::AssertionFailure() << "publishes other pixels";
    }
    return ::testing::AssertionSuccess();
}

// Pushes `frame` into the sink; whether the `backend` buffer `name` then publishes it, `width` x
// `height` pixels.
::testing::AssertionResult publishes_pushed(GstHarness* harness, const std::vector<guint8>& frame,
                                            const std::string& name, unsigned width,
                                            unsigned height, const std::string& backend = "posix") {
    const GstFlowReturn flow = gst_harness_push(harness, packed_buffer(frame));
    if (flow != GST_FLOW_OK) {
        return ::testing::AssertionFailure() << "push: " << gst_flow_get_name(flow);
    }
    return publishes(name, width, height, frame, backend);
}

std::uint64_t frame_count(const std::string& name, const std::string& backend = "posix") {
    return plugintest::read_published(name, backend).frame_count;
}

std::string error_text(GstMessage* message) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    std::string text = error != nullptr ? error->message : "";
    if (debug != nullptr) {
        text += " | ";
        text += debug;
    }
    g_clear_error(&error);
    g_free(debug);
    return text;
}

TEST(DbSink, PublishesEachFrameOnceAtTheNegotiatedSize) {
    ShmGuard guard;
    GstHarness* harness = sink_harness(guard.name(), 4, 2);
    const auto first = plugintest::make_frame(4, 2, 1);
    const auto second = plugintest::make_frame(4, 2, 2);

    ASSERT_TRUE(publishes_pushed(harness, first, guard.name(), 4, 2));
    // Preroll and render see the same first buffer: still one publication.
    EXPECT_EQ(frame_count(guard.name()), 1u);

    ASSERT_TRUE(publishes_pushed(harness, second, guard.name(), 4, 2));
    EXPECT_EQ(frame_count(guard.name()), 2u);
    gst_harness_teardown(harness);
}

TEST(DbSink, CopiesPaddedRowsWithoutThePadding) {
    ShmGuard guard;
    constexpr unsigned width = 3;
    constexpr unsigned height = 2;
    constexpr gint stride = width * 4 + 20;
    GstHarness* harness = sink_harness(guard.name(), width, height);
    const auto frame = plugintest::make_frame(width, height, 5);

    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, stride * height, nullptr);
    GstMapInfo map;
    ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_WRITE));
    std::memset(map.data, 0xEE, map.size);
    for (unsigned row = 0; row < height; ++row) {
        std::memcpy(map.data + row * stride, frame.data() + row * width * 4, width * 4);
    }
    gst_buffer_unmap(buffer, &map);
    gsize offsets[GST_VIDEO_MAX_PLANES] = {0};
    gint strides[GST_VIDEO_MAX_PLANES] = {stride};
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_BGRA, width,
                                   height, 1, offsets, strides);

    ASSERT_EQ(gst_harness_push(harness, buffer), GST_FLOW_OK);
    EXPECT_TRUE(publishes(guard.name(), width, height, frame));
    EXPECT_EQ(frame_count(guard.name()), 1u);
    gst_harness_teardown(harness);
}

TEST(DbSink, NewCapsResizeTheBufferForItsReaders) {
    ShmGuard guard;
    GstHarness* harness = sink_harness(guard.name(), 4, 2);
    ASSERT_EQ(gst_harness_push(harness, packed_buffer(plugintest::make_frame(4, 2, 1))),
              GST_FLOW_OK);

    gst_harness_set_src_caps_str(harness, plugintest::sink_caps(6, 5).c_str());
    const auto larger = plugintest::make_frame(6, 5, 9);
    ASSERT_EQ(gst_harness_push(harness, packed_buffer(larger)), GST_FLOW_OK);

    EXPECT_TRUE(publishes(guard.name(), 6, 5, larger));
    struct stat info {};
    ASSERT_EQ(stat(guard.path().c_str(), &info), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), compute_size(6, 5));
    gst_harness_teardown(harness);
}

TEST(DbSink, SysvBackendPublishesAndMakesItsSegmentAnewForAnotherSize) {
    ShmGuard guard;
    GstHarness* harness = sink_harness(guard.name(), 4, 2, "sysv");
    const auto frame = plugintest::make_frame(4, 2, 3);
    ASSERT_TRUE(publishes_pushed(harness, frame, guard.name(), 4, 2, "sysv"));
    EXPECT_EQ(frame_count(guard.name(), "sysv"), 1u);
    // A System V segment cannot change size: other caps make the buffer anew at theirs.
    gst_harness_set_src_caps_str(harness, plugintest::sink_caps(6, 5).c_str());
    const auto larger = plugintest::make_frame(6, 5, 1);
    ASSERT_TRUE(publishes_pushed(harness, larger, guard.name(), 6, 5, "sysv"));
    gst_harness_teardown(harness);
}

TEST(DbSink, SysvSegmentOfTheSameSizeTakesTheNegotiatedDimensions) {
    ShmGuard guard;
    ASSERT_TRUE(
        plugintest::publish_frame(guard.name(), 4, 2, plugintest::make_frame(4, 2, 1), "sysv"));
    // 2x4 frames fill the same bytes as 4x2 ones: the segment is reused as it is.
    GstHarness* harness = sink_harness(guard.name(), 2, 4, "sysv");
    const auto frame = plugintest::make_frame(2, 4, 6);
    ASSERT_TRUE(publishes_pushed(harness, frame, guard.name(), 2, 4, "sysv"));
    gst_harness_teardown(harness);
}

TEST(DbSink, BufferThatCannotBeOpenedIsAnElementError) {
    ShmGuard guard;
    // A directory where the object should be: no process can open it as shared memory.
    ASSERT_EQ(mkdir(guard.path().c_str(), 0700), 0);
    struct directory_remover_t {
        std::string path;
        ~directory_remover_t() { rmdir(path.c_str()); }
    } remover{guard.path()};
    {
        plugintest::Pipeline pipeline("videotestsrc num-buffers=3 ! " +
                                      plugintest::sink_caps(4, 2) +
                                      " ! zorvdbsink name=sink buffer-name=" + guard.name());
        ASSERT_NE(pipeline.get(), nullptr) << pipeline.parse_error();
        pipeline.play();
        GstMessage* message = plugintest::wait_for_message(
            pipeline.get(), static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS),
            5000ms);
        ASSERT_NE(message, nullptr);
        ASSERT_EQ(GST_MESSAGE_TYPE(message), GST_MESSAGE_ERROR);
        EXPECT_STREQ(GST_OBJECT_NAME(GST_MESSAGE_SRC(message)), "sink");
        const std::string text = error_text(message);
        EXPECT_NE(text.find("Could not open double buffer \"" + guard.name() +
                            "\" for writing (posix backend, 4x2)"),
                  std::string::npos)
            << text;
        gst_message_unref(message);
    }
}

// Two writers would hand readers each other's frames: a sink in another process than the live
// writer refuses the buffer and names that writer.
TEST(DbSink, SecondWriterOfABufferALiveProcessWritesFailsNamingThatProcess) {
    ShmGuard guard;
    constexpr unsigned width = 32;
    constexpr unsigned height = 24;
    zorvtest::Command first("gst-launch-1.0",
                            {"-q", "videotestsrc", "is-live=true", "pattern=colors", "!",
                             "video/x-raw,format=BGRA,width=32,height=24,framerate=30/1", "!",
                             "zorvdbsink", "buffer-name=" + guard.name()});
    const auto colors = plugintest::reference_frame("colors", width, height);
    std::vector<guint8> pixels(colors.size());
    zorvgst::frame_reader reader(guard.name());
    const auto read_next = [&](std::chrono::milliseconds timeout) {
        std::optional<zorvgst::frame_info> info;
        while (!info && reader.wait(timeout)) {
            info = reader.read(pixels.data(), std::size_t{width} * 4, pixels.size());
        }
        return info;
    };
    const std::optional<zorvgst::frame_info> before = read_next(20s);
    ASSERT_TRUE(before.has_value()) << first.output();

    {
        // Its own frames are black: any that reached the buffer would show.
        plugintest::Pipeline second("videotestsrc pattern=black num-buffers=3 ! " +
                                    plugintest::sink_caps(width, height) +
                                    " ! zorvdbsink name=sink buffer-name=" + guard.name());
        ASSERT_NE(second.get(), nullptr) << second.parse_error();
        second.play();
        GstMessage* message = plugintest::wait_for_message(
            second.get(), static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS), 5000ms);
        ASSERT_NE(message, nullptr);
        ASSERT_EQ(GST_MESSAGE_TYPE(message), GST_MESSAGE_ERROR);
        EXPECT_STREQ(GST_OBJECT_NAME(GST_MESSAGE_SRC(message)), "sink");
        const std::string text = error_text(message);
        gst_message_unref(message);
        EXPECT_NE(text.find("Could not open double buffer \"" + guard.name() +
                            "\" for writing (posix backend, 32x24)"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("process " + std::to_string(first.pid())), std::string::npos) << text;
    }

    // The first writer goes on publishing, and nothing else reaches the buffer.
    std::uint64_t last = before->number;
    for (int frame = 0; frame < 3; ++frame) {
        const std::optional<zorvgst::frame_info> info = read_next(5s);
        ASSERT_TRUE(info.has_value()) << "frame " << frame << first.output();
        EXPECT_GT(info->number, last);
        last = info->number;
        EXPECT_EQ(pixels, colors) << "frame " << info->number;
    }
}

TEST(DbSink, MissingOrMalformedBufferNameFailsAtStart) {
    struct case_t {
        std::string properties;
        std::string expected;
    };
    std::vector<case_t> cases = {
        {"", "No valid buffer name set (property \"buffer-name\")"},
        {"buffer-name=a/b_buffer", "No valid buffer name set (property \"buffer-name\")"},
    };
    for (const auto& c : cases) {
        plugintest::Pipeline pipeline("videotestsrc num-buffers=1 ! " +
                                      plugintest::sink_caps(4, 2) + " ! zorvdbsink " +
                                      c.properties);
        ASSERT_NE(pipeline.get(), nullptr) << pipeline.parse_error();
        EXPECT_EQ(pipeline.play(), GST_STATE_CHANGE_FAILURE) << c.properties;
        GstMessage* message =
            plugintest::wait_for_message(pipeline.get(), GST_MESSAGE_ERROR, 2000ms);
        ASSERT_NE(message, nullptr) << c.properties;
        EXPECT_NE(error_text(message).find(c.expected), std::string::npos) << error_text(message);
        gst_message_unref(message);
    }
}

} // namespace
