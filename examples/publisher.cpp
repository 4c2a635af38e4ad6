// Publisher host: test video from videotestsrc, published frame by frame into a double buffer.
//
//   zorvgst-publisher [--name NAME] [--width W] [--height H] [--fps N] [--seconds S]
//
// Any number of readers (zorvgst-subscriber, the zorvdbsrc element, zorvgst-shm watch) can open
// the buffer by name while this runs. --seconds 0 (the default) runs until Ctrl-C.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <string>

#include <glib-unix.h>
#include <gst/app/gstappsink.h>
#include <log4cxx/consoleappender.h>
#include <log4cxx/patternlayout.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/zorvgst.h>

// Every host defines the logger the library writes to.
log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvgst");

namespace {

struct options_t {
    std::string name = shared_memory_video_buffer_id("publisher"); // "publisher_buffer"
    unsigned width = 1280;
    unsigned height = 720;
    unsigned fps = 30;
    unsigned seconds = 0;
};

struct publisher_t {
    double_buffer_t* buffer = nullptr;
    unsigned width = 0;
    // Touched only on the streaming thread until the pipeline stops.
    guint64 frames = 0;
    gint64 first_us = 0;
    gint64 last_us = 0;
};

// Runs on appsink's streaming thread for every frame: copy it into the buffer's free slot and
// publish it. render() reads the frame size from the sample's caps.
GstFlowReturn on_new_sample(GstAppSink* sink, gpointer user_data) {
    auto* publisher = static_cast<publisher_t*>(user_data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) {
        return GST_FLOW_EOS;
    }
    render(sample, *publisher->buffer, 0, 0, publisher->width);
    gst_sample_unref(sample);
    publisher->last_us = g_get_monotonic_time();
    if (publisher->frames++ == 0) {
        publisher->first_us = publisher->last_us;
    }
    return GST_FLOW_OK;
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
        } else if (arg == "--width") {
            options.width = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else if (arg == "--height") {
            options.height = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else if (arg == "--fps") {
            options.fps = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else if (arg == "--seconds") {
            options.seconds = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else {
            return false;
        }
    }
    return options.width > 0 && options.height > 0 && options.fps > 0 && !options.name.empty();
}

} // namespace

int main(int argc, char** argv) {
    auto layout = std::make_shared<log4cxx::PatternLayout>("%d{HH:mm:ss.SSS} %-5p %m%n");
    logger->addAppender(std::make_shared<log4cxx::ConsoleAppender>(layout));
    logger->setLevel(log4cxx::Level::getWarn());

    options_t options;
    if (!parse_options(argc, argv, options)) {
        std::cerr << "usage: zorvgst-publisher [--name NAME] [--width W] [--height H] [--fps N]"
                     " [--seconds S]\n";
        return 2;
    }
    zorvgstlib_init(argc, argv);

    // The writer creates (or resizes) the buffer and becomes its owner.
    double_buffer_t buffer(options.name.c_str(), boost::interprocess::read_write, options.width,
                           options.height);
    if (!buffer.is_valid()) {
        std::cerr << "cannot open double buffer " << options.name << " for writing\n";
        return 1;
    }
    publisher_t publisher;
    publisher.buffer = &buffer;
    publisher.width = options.width;

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
    GstCaps* caps =
        gst_caps_from_string(build_caps_string(options.width, options.height, options.fps).c_str());
    link_elements(source, sink, caps);
    gst_caps_unref(caps);

    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = on_new_sample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &publisher, nullptr);

    // The library's bus watch logs what the pipeline reports and quits on error or EOS.
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

    std::cout << "publishing " << options.width << "x" << options.height << " at " << options.fps
              << " fps into " << options.name << std::endl;
    gst_play(pipeline);
    g_main_loop_run(loop);
    set_element_state(pipeline, GST_STATE_NULL, 5 * GST_SECOND);

    const double span_s = (publisher.last_us - publisher.first_us) / 1e6;
    std::cout << std::fixed << std::setprecision(2) << "published " << publisher.frames
              << " frames, " << (span_s > 0 ? (publisher.frames - 1) / span_s : 0.0) << " fps"
              << std::endl;
    g_source_remove(watch);
    gst_object_unref(pipeline);
    g_main_loop_unref(loop);
    // The buffer stays for readers that still map it; supervisors remove it (zorvgst-shm).
    return 0;
}
