// SPDX-License-Identifier: LGPL-2.1-or-later
// Publisher host: test video from videotestsrc, published frame by frame into a double buffer.
//
//   zorvgst-publisher [--name NAME] [--width W] [--height H] [--fps N] [--seconds S]
//
// Any number of readers (zorvgst-subscriber, the zorvdbsrc element, zorvgst-shm watch) can open
// the buffer by name while this runs. --seconds 0 (the default) runs until Ctrl-C.
#include <iostream>
#include <string>

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <zorvgst/frames.h>
#include <zorvgst/zorvgst.h>

#include "example_host.h"

namespace {

struct publisher_t {
    zorvgst::frame_writer* writer = nullptr;
    // Touched only on the streaming thread until the pipeline stops.
    example_host::frame_tally tally;
};

// Runs on appsink's streaming thread for every frame: copy it, row by row as the sample lays
// them out, into the buffer's free slot and publish it.
GstFlowReturn on_new_sample(GstAppSink* sink, gpointer user_data) {
    auto* publisher = static_cast<publisher_t*>(user_data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) {
        return GST_FLOW_EOS;
    }
    GstVideoInfo info;
    GstVideoFrame frame;
    if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
        gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
        GstFlowReturn result = GST_FLOW_OK;
        try {
            publisher->writer->write(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0),
                                     GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
            publisher->tally.count();
        } catch (const std::exception& e) {
            std::cerr << "cannot publish: " << e.what() << "\n";
            result = GST_FLOW_ERROR;
        }
        gst_video_frame_unmap(&frame);
        gst_sample_unref(sample);
        return result;
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

} // namespace

int main(int argc, char** argv) {
    std::string name = shared_memory_video_buffer_id("publisher"); // "publisher_buffer"
    unsigned width = 1280, height = 720, fps = 30, seconds = 0;
    const auto given = example_host::options()
                           .add("--name", name)
                           .add("--width", width, 1, 16384)
                           .add("--height", height, 1, 16384)
                           .add("--fps", fps, 1, 1000)
                           .add("--seconds", seconds);
    if (!example_host::start(given, argc, argv,
                             "usage: zorvgst-publisher [--name NAME] [--width W]"
                             " [--height H] [--fps N] [--seconds S]")) {
        return 2;
    }

    try {
        // The writer creates (or resizes) the buffer and becomes its owner.
        zorvgst::frame_writer writer(name, width, height);
        publisher_t publisher;
        publisher.writer = &writer;

        // videotestsrc ! capsfilter(BGRA at our size and rate) ! appsink. The helpers end the
        // process with status 1 if an element is missing or a link is refused.
        GstElement* pipeline = gst_pipeline_new("publisher");
        GstElement* source = create_element("videotestsrc", "source");
        GstElement* sink = create_element("appsink", "sink");
        g_object_set(source, "is-live", TRUE, "pattern", 0 /* SMPTE bars */, nullptr);
        // Newest frame only: a reader wants the present, not a backlog.
        g_object_set(sink, "max-buffers", 1, "drop", TRUE, nullptr);
        add_to_bin(GST_BIN(pipeline), source);
        add_to_bin(GST_BIN(pipeline), sink);
        GstCaps* caps = gst_caps_from_string(build_caps_string(width, height, fps).c_str());
        link_elements(source, sink, caps);
        gst_caps_unref(caps);

        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = on_new_sample;
        gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &publisher, nullptr);

        std::cout << "publishing " << width << "x" << height << " at " << fps << " fps into "
                  << name << std::endl;
        example_host::run_pipeline(pipeline, seconds);
        publisher.tally.report(std::cout, "published", false);
        gst_object_unref(pipeline);
    } catch (const zorvgst::error& e) {
        std::cerr << "cannot write double buffer " << name << ": " << e.what() << "\n";
        return 1;
    }
    // The buffer stays for readers that still map it; supervisors remove it (zorvgst-shm).
    return 0;
}
