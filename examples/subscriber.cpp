// Subscriber host: frames read from a double buffer as the writer publishes them, fed to a
// pipeline.
//
//   zorvgst-subscriber [--name NAME] [--sink ELEMENT] [--seconds S] [--wait S]
//
// The frames go through appsrc ! queue ! videoconvert ! ELEMENT (fakesink by default; try
// autovideosink on a desktop). At the end it prints how many frames arrived and the median time
// from publication to the copy being in our own GstBuffer.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <glib-unix.h>
#include <gst/app/gstappsrc.h>
#include <log4cxx/consoleappender.h>
#include <log4cxx/patternlayout.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/zorvgst.h>

// Every host defines the logger the library writes to.
log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvgst");

namespace {

namespace pt = boost::posix_time;

struct options_t {
    std::string name = shared_memory_video_buffer_id("publisher"); // "publisher_buffer"
    std::string sink = "fakesink";
    unsigned seconds = 0;
    unsigned wait = 10;
};

// State of the frame pump. Everything but `stopping` is touched only on appsrc's streaming
// thread while the pipeline runs, so the double buffer is used by one thread at a time.
struct subscriber_t {
    double_buffer_t* buffer;
    unsigned width;
    unsigned height;
    std::atomic<bool> stopping{false};
    pt::ptime last_seen; // publication stamp of the last frame we took
    guint64 frames = 0;
    pt::ptime first_frame;
    pt::ptime last_frame;
    std::vector<double> latencies_ms;
};

// appsrc asks for the next frame on its streaming thread: wait for the writer to publish one
// (in short slices so that stopping stays prompt), copy it into a new buffer and push it.
void on_need_data(GstAppSrc* source, guint, gpointer user_data) {
    auto* s = static_cast<subscriber_t*>(user_data);
    while (!s->stopping) {
        if (!s->buffer->is_valid()) {
            // Reopening after a size change: the writer has not finished making the buffer.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        pt::ptime published = s->buffer->get_last_write_time();
        if (published == s->last_seen) {
            s->buffer->wait_for_write(pt::microsec_clock::local_time() + pt::milliseconds(100));
            published = s->buffer->get_last_write_time();
            if (published == s->last_seen) {
                continue; // nothing new yet
            }
        }
        // A writer that came back at another size: the library has reopened the buffer at the
        // new size, and the stream follows it.
        if (s->buffer->get_width() != s->width || s->buffer->get_height() != s->height) {
            s->width = static_cast<unsigned>(s->buffer->get_width());
            s->height = static_cast<unsigned>(s->buffer->get_height());
            GstCaps* caps = gst_caps_from_string(build_caps_string(s->width, s->height, 0).c_str());
            gst_app_src_set_caps(source, caps);
            gst_caps_unref(caps);
        }
        GstBuffer* frame =
            gst_buffer_new_allocate(nullptr, gsize{s->width} * s->height * 4, nullptr);
        render(*s->buffer, frame, s->width, s->height, 0, 0, s->width);
        if (s->buffer->get_width() != s->width || s->buffer->get_height() != s->height) {
            gst_buffer_unref(frame); // nothing was copied: the size changed under this frame
            continue;
        }
        const pt::ptime now = pt::microsec_clock::local_time();
        s->last_seen = published;
        if (s->frames++ == 0) {
            s->first_frame = now;
        }
        s->last_frame = now;
        if (s->latencies_ms.size() < 100000) {
            s->latencies_ms.push_back((now - published).total_microseconds() / 1000.0);
        }
        gst_app_src_push_buffer(source, frame); // takes the buffer
        return;
    }
}

gboolean quit_loop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

// Stays installed: a second signal while stopping must not fall back to the default action.
gboolean on_signal(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_CONTINUE;
}

bool parse_options(int argc, char** argv, options_t& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const char* value = argv[++i];
        if (arg == "--name") {
            options.name = value;
        } else if (arg == "--sink") {
            options.sink = value;
        } else if (arg == "--seconds") {
            options.seconds = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else if (arg == "--wait") {
            options.wait = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else {
            return false;
        }
    }
    return !options.name.empty();
}

} // namespace

int main(int argc, char** argv) {
    auto layout = std::make_shared<log4cxx::PatternLayout>("%d{HH:mm:ss.SSS} %-5p %m%n");
    logger->addAppender(std::make_shared<log4cxx::ConsoleAppender>(layout));
    logger->setLevel(log4cxx::Level::getWarn());

    options_t options;
    if (!parse_options(argc, argv, options)) {
        std::cerr << "usage: zorvgst-subscriber [--name NAME] [--sink ELEMENT] [--seconds S]"
                     " [--wait S]\n";
        return 2;
    }
    zorvgstlib_init(argc, argv);

    // A reader opened without dimensions takes them from the writer's header; it stays invalid
    // (and is_valid() retries the open) until the writer has created the buffer.
    double_buffer_t buffer(options.name.c_str(), boost::interprocess::read_only);
    const pt::ptime give_up = pt::microsec_clock::local_time() + pt::seconds(options.wait);
    while (!buffer.is_valid()) {
        if (pt::microsec_clock::local_time() > give_up) {
            std::cerr << "no writer has created " << options.name << " within " << options.wait
                      << " s\n";
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    subscriber_t subscriber;
    subscriber.buffer = &buffer;
    subscriber.width = static_cast<unsigned>(buffer.get_width());
    subscriber.height = static_cast<unsigned>(buffer.get_height());
    subscriber.last_seen = buffer.get_last_write_time(); // count only frames published from now

    // appsrc ! queue ! videoconvert ! sink, built with the library's helpers (which end the
    // process with status 1 if an element is missing or a link is refused).
    GstElement* pipeline = gst_pipeline_new("subscriber");
    GstElement* source = create_element("appsrc", "source");
    GstElement* queue = create_element("queue", "queue");
    GstElement* convert = create_element("videoconvert", "convert");
    GstElement* sink = create_element(options.sink.c_str(), "sink");
    GstCaps* caps =
        gst_caps_from_string(build_caps_string(subscriber.width, subscriber.height, 0).c_str());
    // A live source stamped with the pipeline clock as each frame is pushed.
    g_object_set(source, "caps", caps, "is-live", TRUE, "format", GST_FORMAT_TIME, "do-timestamp",
                 TRUE, "max-buffers", guint64{2}, nullptr);
    gst_caps_unref(caps);
    for (GstElement* element : {source, queue, convert, sink}) {
        add_to_bin(GST_BIN(pipeline), element);
    }
    link_elements(source, queue, nullptr);
    link_elements(queue, convert, nullptr);
    link_elements(convert, sink, nullptr);

    GstAppSrcCallbacks callbacks{};
    callbacks.need_data = on_need_data;
    gst_app_src_set_callbacks(GST_APP_SRC(source), &callbacks, &subscriber, nullptr);

    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    bus_cb_data_t bus_data{loop, pipeline, 0};
    GstBus* bus = gst_element_get_bus(pipeline);
    const guint watch = gst_bus_add_watch(bus, standard_bus_cb, &bus_data);
    gst_object_unref(bus);
    g_unix_signal_add(SIGINT, on_signal, loop);
    g_unix_signal_add(SIGTERM, on_signal, loop);
    if (options.seconds > 0) {
        g_timeout_add_seconds(options.seconds, quit_loop, loop);
    }

    std::cout << "reading " << subscriber.width << "x" << subscriber.height << " frames from "
              << options.name << std::endl;
    gst_play(pipeline);
    g_main_loop_run(loop);
    subscriber.stopping = true; // lets a waiting need-data return before the pipeline stops
    set_element_state(pipeline, GST_STATE_NULL, 5 * GST_SECOND);

    auto& latencies = subscriber.latencies_ms;
    double median = 0;
    if (!latencies.empty()) {
        std::nth_element(latencies.begin(), latencies.begin() + latencies.size() / 2,
                         latencies.end());
        median = latencies[latencies.size() / 2];
    }
    const double span_s =
        subscriber.frames > 1
            ? (subscriber.last_frame - subscriber.first_frame).total_microseconds() / 1e6
            : 0;
    std::cout << std::fixed << std::setprecision(2) << "received " << subscriber.frames
              << " frames, " << (span_s > 0 ? (subscriber.frames - 1) / span_s : 0.0)
              << " fps, median publish-to-read latency " << median << " ms" << std::endl;

    g_source_remove(watch);
    gst_object_unref(pipeline);
    g_main_loop_unref(loop);
    return 0;
}
