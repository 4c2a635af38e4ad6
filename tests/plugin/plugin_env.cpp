// SPDX-License-Identifier: LGPL-2.1-or-later
// Element test helpers; also points GStreamer at the build tree's plugin before it starts.
#include "plugin_env.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <arpa/inet.h>
#include <gst/app/gstappsink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/frame_format.h>
#include <zorvgst/library.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/sysv_double_buffer.h>

namespace plugintest {
namespace {

std::string registry_path() {
    return std::string(ZORVTEST_REGISTRY_DIR) + "/gst_registry_" + std::to_string(getpid()) +
           ".bin";
}

const pid_t environment_owner = getpid();

void remove_registry() {
    if (getpid() == environment_owner) {
        std::remove(registry_path().c_str());
    }
}

// Runs before main(), hence before the test main initialises GStreamer: the plugin comes from
// the build tree and the registry is this process's own, so no run sees another's plugin.
const bool environment_ready = [] {
    setenv("GST_PLUGIN_PATH", ZORVTEST_PLUGIN_DIR, 1);
    setenv("GST_REGISTRY", registry_path().c_str(), 1);
#ifdef ZORVTEST_CHILD_PRELOAD
    // Sanitizer build: GStreamer's plugin scanner and the tools this process starts are not
    // instrumented, so the runtime the plugin needs is loaded first there. Only the plugin and
    // the library are checked in them; GStreamer's allocations held until exit are not leaks
    // of this project. This process read its own options before this point.
    setenv("LD_PRELOAD", ZORVTEST_CHILD_PRELOAD, 1);
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    setenv("TSAN_OPTIONS", "exitcode=0", 1);
#endif
    std::atexit(remove_registry);
    return true;
}();

} // namespace

std::string plugin_dir() {
    return environment_ready ? ZORVTEST_PLUGIN_DIR : "";
}

std::vector<guint8> make_frame(unsigned width, unsigned height, unsigned seed) {
    std::vector<guint8> frame(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<guint8>((i * 7 + seed * 31 + 1) & 0xff);
    }
    return frame;
}

namespace {

template <typename Writer>
bool publish_with(const std::string& name, unsigned width, unsigned height,
                  const std::vector<guint8>& frame) {
    Writer writer(name.c_str(), boost::interprocess::read_write, width, height);
    if (!writer.is_valid()) {
        return false;
    }
    writer.grab_write_sem();
    std::memcpy(writer.get_write_address(), frame.data(), frame.size());
    writer.release_write_sem();
    return true;
}

template <typename Reader> published_frame read_published_with(const std::string& name) {
    published_frame result;
    Reader reader(name.c_str(), boost::interprocess::read_only);
    if (!reader.is_valid() || reader.get_header() == nullptr) {
        return result;
    }
    result.width = reader.get_header()->width;
    result.height = reader.get_header()->height;
    result.frame_count = reader.get_header()->frame_count;
    const guint8* slot = reader.get_read_address();
    result.pixels.assign(slot, slot + static_cast<std::size_t>(reader.get_width()) *
                                          reader.get_height() * 4);
    return result;
}

} // namespace

bool publish_frame(const std::string& name, unsigned width, unsigned height,
                   const std::vector<guint8>& frame, const std::string& backend) {
    return backend == "sysv"
               ? publish_with<sysv_double_buffer::sysv_double_buffer_t>(name, width, height, frame)
               : publish_with<double_buffer_t>(name, width, height, frame);
}

std::string sink_caps(unsigned width, unsigned height) {
    return std::string(COLORSPACE_CAPS_STRING) + ",width=" + std::to_string(width) +
           ",height=" + std::to_string(height) + ",framerate=30/1";
}

published_frame read_published(const std::string& name, const std::string& backend) {
    return backend == "sysv" ? read_published_with<sysv_double_buffer::sysv_double_buffer_t>(name)
                             : read_published_with<posix_double_buffer_t>(name);
}

namespace {

// The first frame videotestsrc makes with `pattern` as `format`, handed to `take`; nothing is
// handed over when the pipeline gives no frame.
template <typename Take>
void first_test_frame(const std::string& pattern, const std::string& format, unsigned width,
                      unsigned height, Take&& take) {
    Pipeline pipeline("videotestsrc num-buffers=1 pattern=" + pattern +
                      " ! video/x-raw,format=" + format + ",width=" + std::to_string(width) +
                      ",height=" + std::to_string(height) + " ! appsink name=out");
    if (pipeline.get() == nullptr || pipeline.play() == GST_STATE_CHANGE_FAILURE) {
        return;
    }
    GstElement* sink = pipeline.element("out");
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 5 * GST_SECOND);
    gst_object_unref(sink);
    if (sample != nullptr) {
        take(sample);
        gst_sample_unref(sample);
    }
}

} // namespace

std::vector<guint8> reference_frame(const std::string& pattern, unsigned width, unsigned height) {
    std::vector<guint8> bytes;
    first_test_frame(pattern, "BGRA", width, height, [&](GstSample* sample) {
        GstMapInfo map;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            bytes.assign(map.data, map.data + map.size);
            gst_buffer_unmap(buffer, &map);
        }
    });
    return bytes;
}

std::vector<guint8> packed_planes(GstBuffer* buffer, const GstVideoInfo& info) {
    std::vector<guint8> pixels;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) {
        return pixels;
    }
    const zorvgst::frame_format format =
        zorvgst::frame_format::of(gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info)),
                                  GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info));
    for (unsigned plane = 0; plane < format.planes; ++plane) {
        const auto* row = static_cast<const guint8*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, plane));
        for (unsigned y = 0; y < format.plane_height(plane); ++y) {
            pixels.insert(pixels.end(), row, row + format.row_bytes(plane));
            row += GST_VIDEO_FRAME_PLANE_STRIDE(&frame, plane);
        }
    }
    gst_video_frame_unmap(&frame);
    return pixels;
}

std::vector<guint8> reference_pixels(const std::string& pattern, const std::string& format,
                                     unsigned width, unsigned height) {
    std::vector<guint8> pixels;
    first_test_frame(pattern, format, width, height, [&](GstSample* sample) {
        GstVideoInfo info;
        if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) {
            pixels = packed_planes(gst_sample_get_buffer(sample), info);
        }
    });
    return pixels;
}

GstMessage* wait_for_message(GstElement* pipeline, GstMessageType types,
                             std::chrono::milliseconds timeout) {
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, static_cast<GstClockTime>(timeout.count()) * GST_MSECOND, types);
    gst_object_unref(bus);
    return message;
}

Pipeline::Pipeline(const std::string& description) {
    GError* error = nullptr;
    pipeline_ = gst_parse_launch(description.c_str(), &error);
    if (error != nullptr) {
        error_ = error->message;
        g_error_free(error);
        if (pipeline_ != nullptr) {
            gst_object_unref(pipeline_);
            pipeline_ = nullptr;
        }
    }
}

Pipeline::~Pipeline() {
    if (pipeline_ != nullptr) {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
    }
}

GstElement* Pipeline::element(const char* name) const {
    return gst_bin_get_by_name(GST_BIN(pipeline_), name);
}

GstStateChangeReturn Pipeline::play() {
    return gst_element_set_state(pipeline_, GST_STATE_PLAYING);
}

std::string temp_path(const std::string& suffix) {
    return "/tmp/zorvtest_" + std::to_string(getpid()) + "_" + suffix;
}

int free_loopback_udp_port() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

} // namespace plugintest
