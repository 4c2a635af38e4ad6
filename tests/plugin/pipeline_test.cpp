// SPDX-License-Identifier: LGPL-2.1-or-later
// The elements as users run them: gst-launch-1.0 processes, gst-inspect-1.0, a loopback relay.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gst/app/gstappsink.h>
#include <gtest/gtest.h>

#include "plugin_env.h"
#include "support/command.h"
#include "support/raw_shm.h"
#include "support/shm_guard.h"

namespace {

using namespace std::chrono_literals;
using zorvtest::Command;
using zorvtest::ShmGuard;

constexpr unsigned width = 64;
constexpr unsigned height = 48;

std::string frame_caps() {
    return "video/x-raw,format=BGRA,width=" + std::to_string(width) +
           ",height=" + std::to_string(height) + ",framerate=30/1";
}

// A live test-pattern writer publishing for about `frames` / 30 seconds.
std::vector<std::string> writer_pipeline(const std::string& name, int frames,
                                         const std::string& backend = "posix") {
    return {"-q",
            "videotestsrc",
            "is-live=true",
            "pattern=colors",
            "num-buffers=" + std::to_string(frames),
            "!",
            frame_caps(),
            "!",
            "zorvdbsink",
            "backend=" + backend,
            "buffer-name=" + name};
}

TEST(PluginPipelines, GstInspectFindsBothElementsInTheBuildTree) {
    for (const char* element : {"zorvdbsink", "zorvdbsrc"}) {
        const zorvtest::command_result inspect =
            zorvtest::run_command("gst-inspect-1.0", {element});
        ASSERT_EQ(inspect.status, 0) << inspect.out << inspect.err;
        const std::string& text = inspect.out;
        EXPECT_NE(text.find(plugintest::plugin_dir()), std::string::npos) << text;
        EXPECT_NE(text.find("buffer-name"), std::string::npos);
        EXPECT_NE(text.find("\"posix\""), std::string::npos);
        // Both pads take every raw format a ring holds, BGRA first.
        EXPECT_NE(text.find("format: { (string)BGRA,"), std::string::npos) << text;
        EXPECT_NE(text.find("(string)NV12"), std::string::npos);
    }
}

class TwoProcesses : public ::testing::TestWithParam<std::string> {};

TEST_P(TwoProcesses, FramesPassBetweenTwoGstLaunchProcesses) {
    ShmGuard guard;
    const std::string backend = GetParam();
    const std::string output = plugintest::temp_path("frames.raw");
    const std::vector<guint8> reference = plugintest::reference_frame("colors", width, height);
    ASSERT_EQ(reference.size(), std::size_t{width} * height * 4);

    // The reader starts first and waits for the writer to create the buffer.
    Command reader("gst-launch-1.0",
                   {"-q", "zorvdbsrc", "backend=" + backend, "buffer-name=" + guard.name(),
                    "num-buffers=5", "timeout=5000000000", "!", "filesink", "location=" + output});
    Command writer("gst-launch-1.0", writer_pipeline(guard.name(), 45, backend));
    EXPECT_EQ(reader.finish(20s).status, 0) << reader.output();
    EXPECT_EQ(writer.finish(20s).status, 0) << writer.output();

    const std::vector<unsigned char> received = zorvtest::read_file_bytes(output);
    std::remove(output.c_str());
    ASSERT_EQ(received.size(), reference.size() * 5) << reader.output() << writer.output();
    for (std::size_t frame = 0; frame < 5; ++frame) {
        EXPECT_TRUE(std::equal(reference.begin(), reference.end(),
                               received.begin() + frame * reference.size()))
            << "frame " << frame;
    }
}

TEST(PluginPipelines, FullHdNv12RingFramesPassBetweenTwoGstLaunchProcesses) {
    ShmGuard guard;
    const std::string output = plugintest::temp_path("nv12.raw");
    const std::string caps = "video/x-raw,format=NV12,width=1920,height=1080,framerate=30/1";
    const std::vector<guint8> reference =
        plugintest::reference_pixels("colors", "NV12", 1920, 1080);
    ASSERT_FALSE(reference.empty());

    Command reader("gst-launch-1.0",
                   {"-q", "zorvdbsrc", "buffer-name=" + guard.name(), "num-buffers=3",
                    "timeout=5000000000", "!", "filesink", "location=" + output});
    Command writer("gst-launch-1.0",
                   {"-q", "videotestsrc", "is-live=true", "pattern=colors", "num-buffers=45", "!",
                    caps, "!", "zorvdbsink", "buffer-name=" + guard.name()});
    EXPECT_EQ(reader.finish(20s).status, 0) << reader.output();
    EXPECT_EQ(writer.finish(20s).status, 0) << writer.output();

    // GStreamer's NV12 layout at this size has no padding: the ring's frames follow each other
    // in the file as they lie in their slots.
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_NV12, 1920, 1080);
    const std::vector<unsigned char> received = zorvtest::read_file_bytes(output);
    std::remove(output.c_str());
    ASSERT_EQ(received.size(), GST_VIDEO_INFO_SIZE(&info) * 3)
        << reader.output() << writer.output();
    for (std::size_t frame = 0; frame < 3; ++frame) {
        GstBuffer* buffer = gst_buffer_new_memdup(
            received.data() + frame * GST_VIDEO_INFO_SIZE(&info), GST_VIDEO_INFO_SIZE(&info));
        EXPECT_TRUE(plugintest::packed_planes(buffer, info) == reference) << "frame " << frame;
        gst_buffer_unref(buffer);
    }
}

TEST(PluginPipelines, LibraryLinesReachGStreamerLogWhereNoLoggerIsDefined) {
    // gst-launch-1.0 defines no `logger`: the plugin's own takes the library's lines.
    ShmGuard guard;
    const zorvtest::command_result written = zorvtest::run_command(
        "env", {"GST_DEBUG=zorvgst:5", "gst-launch-1.0", "videotestsrc", "num-buffers=2", "!",
                frame_caps(), "!", "zorvdbsink", "buffer-name=" + guard.name()});
    ASSERT_EQ(written.status, 0) << written.out << written.err;
    // GStreamer's log goes to standard error.
    EXPECT_NE(written.err.find("Taking Ownership of [" + guard.name() + "] with PID: ["),
              std::string::npos)
        << written.err;
}

INSTANTIATE_TEST_SUITE_P(Backends, TwoProcesses, ::testing::Values("posix", "sysv"));

TEST(PluginPipelines, NetworkRelayOnLoopbackDeliversTheFrames) {
    ShmGuard guard;
    const int port = plugintest::free_loopback_udp_port();
    ASSERT_GT(port, 0);
    const std::vector<guint8> reference = plugintest::reference_frame("colors", width, height);

    // Receiver first, bound to 127.0.0.1 only.
    plugintest::Pipeline receiver(
        "udpsrc address=127.0.0.1 port=" + std::to_string(port) +
        " caps=\"application/x-rtp,media=video,clock-rate=90000,encoding-name=RAW,"
        "sampling=BGRA,depth=(string)8,width=(string)" +
        std::to_string(width) + ",height=(string)" + std::to_string(height) +
        ",colorimetry=SMPTE240M,payload=96\" ! rtpvrawdepay ! appsink name=out sync=false");
    ASSERT_NE(receiver.get(), nullptr) << receiver.parse_error();
    ASSERT_NE(receiver.play(), GST_STATE_CHANGE_FAILURE);

    Command relay("gst-launch-1.0",
                  {"-q", "zorvdbsrc", "buffer-name=" + guard.name(), "timeout=2000000000", "!",
                   "rtpvrawpay", "!", "udpsink", "host=127.0.0.1", "port=" + std::to_string(port)});
    Command writer("gst-launch-1.0", writer_pipeline(guard.name(), 60));

    GstElement* sink = receiver.element("out");
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 15 * GST_SECOND);
    gst_object_unref(sink);
    ASSERT_NE(sample, nullptr) << relay.output() << writer.output();
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    std::vector<guint8> received(gst_buffer_get_size(buffer));
    gst_buffer_extract(buffer, 0, received.data(), received.size());
    gst_sample_unref(sample);
    EXPECT_EQ(received, reference);

    EXPECT_EQ(writer.finish(20s).status, 0) << writer.output();
    // With the writer gone, the relay's timeout ends its stream and the process.
    EXPECT_EQ(relay.finish(20s).status, 0) << relay.output();
}

} // namespace
