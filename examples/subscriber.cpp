// SPDX-License-Identifier: LGPL-2.1-or-later
// Subscriber host: frames read from a double buffer as the writer publishes them, fed to a
// pipeline.
//
//   zorvgst-subscriber [--name NAME] [--sink ELEMENT] [--seconds S] [--wait S]
//
// The frames go through appsrc ! queue ! videoconvert ! ELEMENT (fakesink by default; try
// autovideosink on a desktop). At the end it prints how many frames arrived and the median time
// from publication to the copy being in our own GstBuffer.
#include <atomic>
#include <chrono>
#include <iostream>
#include <string>

#include <gst/app/gstappsrc.h>

#include <zorvgst/frames.h>
#include <zorvgst/zorvgst.h>

#include "example_host.h"

namespace {

using namespace std::chrono_literals;

// State of the frame pump. Everything but `stopping` is touched only on appsrc's streaming
// thread while the pipeline runs, so the reader is used by one thread at a time.
struct subscriber_t {
    zorvgst::frame_reader* reader = nullptr;
    std::chrono::system_clock::time_point started; // frames published before are not counted
    unsigned width = 0;
    unsigned height = 0;
    std::atomic<bool> stopping{false};
    example_host::frame_tally tally;
};

// The caps of the frames pushed from now on: the writer may come back at another size.
void follow_size(GstAppSrc* source, subscriber_t& s, const zorvgst::frame_info& frame) {
    if (frame.width == s.width && frame.height == s.height) {
        return;
    }
    s.width = frame.width;
    s.height = frame.height;
    GstCaps* caps = gst_caps_from_string(build_caps_string(s.width, s.height, 0).c_str());
    gst_app_src_set_caps(source, caps);
    gst_caps_unref(caps);
}

// appsrc asks for the next frame on its streaming thread: wait for the writer to publish one
// (in short slices so that stopping stays prompt), copy it into a new buffer and push it.
void on_need_data(GstAppSrc* source, guint, gpointer user_data) {
    auto* s = static_cast<subscriber_t*>(user_data);
    while (!s->stopping) {
        const auto newest = s->reader->wait(100ms) ? s->reader->newest() : std::nullopt;
        if (!newest) {
            continue;
        }
        follow_size(source, *s, *newest);
        const gsize size = gsize{s->width} * s->height * 4;
        GstBuffer* frame = gst_buffer_new_allocate(nullptr, size, nullptr);
        GstMapInfo map;
        std::optional<zorvgst::frame_info> copied;
        if (gst_buffer_map(frame, &map, GST_MAP_WRITE)) {
            // A frame larger than the caps (the writer grew since newest()) is no copy: the next
            // round follows the new size.
            if (const zorvgst::read_result result =
                    s->reader->try_read(map.data, gsize{s->width} * 4, map.size)) {
                copied = result.info;
            }
            gst_buffer_unmap(frame, &map);
        }
        // Nothing whole, a size other than the caps', or a frame from before we started.
        if (!copied || copied->width != s->width || copied->height != s->height ||
            copied->written < s->started) {
            gst_buffer_unref(frame);
            continue;
        }
        const std::chrono::duration<double, std::milli> latency =
            std::chrono::system_clock::now() - copied->written;
        s->tally.count(latency.count());
        gst_app_src_push_buffer(source, frame); // takes the buffer
        return;
    }
}

} // namespace

int main(int argc, char** argv) {
    std::string name = shared_memory_video_buffer_id("publisher"); // "publisher_buffer"
    std::string sink_element = "fakesink";
    unsigned seconds = 0, wait = 10;
    const auto given = example_host::options()
                           .add("--name", name)
                           .add("--sink", sink_element)
                           .add("--seconds", seconds)
                           .add("--wait", wait);
    if (!example_host::start(given, argc, argv,
                             "usage: zorvgst-subscriber [--name NAME] [--sink ELEMENT]"
                             " [--seconds S] [--wait S]")) {
        return 2;
    }

    // The reader attaches whenever the writer appears, and follows it through restarts.
    zorvgst::frame_reader reader(name);
    subscriber_t subscriber;
    subscriber.reader = &reader;
    subscriber.started = std::chrono::system_clock::now();
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(wait);
    std::optional<zorvgst::frame_info> first;
    while (!(first = reader.newest())) {
        if (std::chrono::steady_clock::now() > give_up) {
            std::cerr << "no writer has created " << name << " within " << wait << " s\n";
            return 1;
        }
        reader.wait(50ms);
    }

    // appsrc ! queue ! videoconvert ! sink, built with the library's helpers (which end the
    // process with status 1 if an element is missing or a link is refused).
    GstElement* pipeline = gst_pipeline_new("subscriber");
    GstElement* source = create_element("appsrc", "source");
    GstElement* queue = create_element("queue", "queue");
    GstElement* convert = create_element("videoconvert", "convert");
    GstElement* sink = create_element(sink_element.c_str(), "sink");
    // A live source stamped with the pipeline clock as each frame is pushed.
    g_object_set(source, "is-live", TRUE, "format", GST_FORMAT_TIME, "do-timestamp", TRUE,
                 "max-buffers", guint64{2}, nullptr);
    follow_size(GST_APP_SRC(source), subscriber, *first);
    for (GstElement* element : {source, queue, convert, sink}) {
        add_to_bin(GST_BIN(pipeline), element);
    }
    link_elements(source, queue, nullptr);
    link_elements(queue, convert, nullptr);
    link_elements(convert, sink, nullptr);

    GstAppSrcCallbacks callbacks{};
    callbacks.need_data = on_need_data;
    gst_app_src_set_callbacks(GST_APP_SRC(source), &callbacks, &subscriber, nullptr);

    std::cout << "reading " << subscriber.width << "x" << subscriber.height << " frames from "
              << name << std::endl;
    // Stopping first lets a waiting need-data return before the pipeline stops.
    example_host::run_pipeline(pipeline, seconds, [&] { subscriber.stopping = true; });
    subscriber.tally.report(std::cout, "received", true);
    gst_object_unref(pipeline);
    return 0;
}
