// Element reader host: a double buffer read through the zorvdbsrc element, last frame kept as PNG.
//
//   zorvgst-element-reader [--name NAME] [--snapshot FILE.png] [--seconds S] [--timeout S]
//
// Runs "zorvdbsrc buffer-name=NAME ! appsink" until Ctrl-C (or S seconds, or EOS when no frame
// came for --timeout seconds), counts the frames, measures how long after its publication each
// frame reached the appsink, and writes the last frame as a PNG picture.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <glib-unix.h>
#include <gst/app/gstappsink.h>
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
    std::string snapshot;
    unsigned seconds = 0;
    unsigned timeout = 10;
};

// Touched on appsink's streaming thread while the pipeline runs, by main once it has stopped.
struct reader_t {
    double_buffer_t* stamps = nullptr; // the same buffer, opened only to read publication times
    GstSample* last = nullptr;
    guint64 frames = 0;
    pt::ptime first_frame;
    pt::ptime last_frame;
    std::vector<double> latencies_ms;
};

GstFlowReturn on_new_sample(GstAppSink* sink, gpointer user_data) {
    auto* r = static_cast<reader_t*>(user_data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) {
        return GST_FLOW_EOS;
    }
    const pt::ptime now = pt::microsec_clock::local_time();
    // The newest publication's stamp: the frame we hold is that one unless the writer has
    // published again since, so this errs on the short side by at most one frame interval.
    if (r->stamps->is_valid()) {
        const pt::ptime published = r->stamps->get_last_write_time();
        if (!published.is_special() && r->latencies_ms.size() < 100000) {
            r->latencies_ms.push_back(
                std::max<double>(0, (now - published).total_microseconds() / 1000.0));
        }
    }
    if (r->frames++ == 0) {
        r->first_frame = now;
    }
    r->last_frame = now;
    if (r->last != nullptr) {
        gst_sample_unref(r->last);
    }
    r->last = sample; // keep it for the snapshot
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

// Encodes one frame as PNG through a small pipeline of GStreamer's own elements.
bool write_png(GstSample* sample, const std::string& path) {
    GError* error = nullptr;
    GstElement* pipeline =
        gst_parse_launch("appsrc name=in ! videoconvert ! pngenc ! filesink name=out", &error);
    if (pipeline == nullptr) {
        std::cerr << "cannot build the PNG pipeline: " << (error ? error->message : "?") << "\n";
        g_clear_error(&error);
        return false;
    }
    GstElement* in = gst_bin_get_by_name(GST_BIN(pipeline), "in");
    GstElement* out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    g_object_set(in, "caps", gst_sample_get_caps(sample), "format", GST_FORMAT_TIME, nullptr);
    g_object_set(out, "location", path.c_str(), nullptr);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    gst_app_src_push_buffer(GST_APP_SRC(in), gst_buffer_ref(gst_sample_get_buffer(sample)));
    gst_app_src_end_of_stream(GST_APP_SRC(in));
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* done = gst_bus_timed_pop_filtered(
        bus, 10 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ok = done != nullptr && GST_MESSAGE_TYPE(done) == GST_MESSAGE_EOS;
    if (done != nullptr) {
        gst_message_unref(done);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(bus);
    gst_object_unref(in);
    gst_object_unref(out);
    gst_object_unref(pipeline);
    return ok;
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
        } else if (arg == "--snapshot") {
            options.snapshot = value;
        } else if (arg == "--seconds") {
            options.seconds = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else if (arg == "--timeout") {
            options.timeout = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        } else {
            return false;
        }
    }
    // The name goes into a pipeline description: keep it to characters that need no quoting.
    return !options.name.empty() &&
           options.name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_-.") == std::string::npos;
}

} // namespace

int main(int argc, char** argv) {
    auto layout = std::make_shared<log4cxx::PatternLayout>("%d{HH:mm:ss.SSS} %-5p %m%n");
    logger->addAppender(std::make_shared<log4cxx::ConsoleAppender>(layout));
    logger->setLevel(log4cxx::Level::getWarn());

    options_t options;
    if (!parse_options(argc, argv, options)) {
        std::cerr << "usage: zorvgst-element-reader [--name NAME] [--snapshot FILE.png]"
                     " [--seconds S] [--timeout S]\n";
        return 2;
    }
    zorvgstlib_init(argc, argv);

    // zorvdbsrc waits for the writer and for each frame up to its timeout (in nanoseconds),
    // then ends the stream.
    const std::string description =
        "zorvdbsrc name=source buffer-name=" + options.name +
        " timeout=" + std::to_string(guint64{options.timeout} * GST_SECOND) +
        " ! appsink name=frames sync=false max-buffers=2 drop=true";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (pipeline == nullptr || error != nullptr) {
        std::cerr << "cannot build '" << description << "': " << (error ? error->message : "?")
                  << " (is GST_PLUGIN_PATH pointing at the zorvgst plugin?)\n";
        g_clear_error(&error);
        return 1;
    }
    double_buffer_t stamps(options.name.c_str(), boost::interprocess::read_only);
    reader_t reader;
    reader.stamps = &stamps;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "frames");
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = on_new_sample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &reader, nullptr);
    gst_object_unref(sink);

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

    std::cout << "reading " << options.name << " through zorvdbsrc" << std::endl;
    gst_play(pipeline);
    g_main_loop_run(loop);
    set_element_state(pipeline, GST_STATE_NULL, 5 * GST_SECOND);

    auto& latencies = reader.latencies_ms;
    double median = 0;
    if (!latencies.empty()) {
        std::nth_element(latencies.begin(), latencies.begin() + latencies.size() / 2,
                         latencies.end());
        median = latencies[latencies.size() / 2];
    }
    const double span_s =
        reader.frames > 1 ? (reader.last_frame - reader.first_frame).total_microseconds() / 1e6 : 0;
    std::cout << std::fixed << std::setprecision(2) << "received " << reader.frames << " frames, "
              << (span_s > 0 ? (reader.frames - 1) / span_s : 0.0)
              << " fps, median publish-to-read latency " << median << " ms" << std::endl;

    int status = 0;
    if (!options.snapshot.empty()) {
        if (reader.last != nullptr && write_png(reader.last, options.snapshot)) {
            std::cout << "snapshot written to " << options.snapshot << std::endl;
        } else {
            std::cerr << "no snapshot written to " << options.snapshot << "\n";
            status = 1;
        }
    }
    if (reader.last != nullptr) {
        gst_sample_unref(reader.last);
    }
    g_source_remove(watch);
    gst_object_unref(pipeline);
    g_main_loop_unref(loop);
    return status;
}
