// SPDX-License-Identifier: LGPL-2.1-or-later
// Element reader host: a double buffer read through the zorvdbsrc element, last frame kept as PNG.
//
//   zorvgst-element-reader [--name NAME] [--snapshot FILE.png] [--seconds S] [--timeout S]
//
// Runs "zorvdbsrc buffer-name=NAME ! appsink" until Ctrl-C (or S seconds, or EOS when no frame
// came for --timeout seconds), counts the frames, measures how long after its publication each
// frame reached the appsink, and writes the last frame as a PNG picture.
#include <chrono>
#include <iostream>
#include <string>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <zorvgst/frames.h>
#include <zorvgst/zorvgst.h>

#include "example_host.h"

namespace {

// Touched on appsink's streaming thread while the pipeline runs, by main once it has stopped.
struct reader_t {
    zorvgst::frame_reader* stamps = nullptr; // the same buffer, looked at only for its header
    GstSample* last = nullptr;
    example_host::frame_tally tally;
};

GstFlowReturn on_new_sample(GstAppSink* sink, gpointer user_data) {
    auto* r = static_cast<reader_t*>(user_data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample == nullptr) {
        return GST_FLOW_EOS;
    }
    // The newest publication's stamp: the frame we hold is that one unless the writer has
    // published again since, so this errs on the short side by at most one frame interval.
    if (const std::optional<zorvgst::frame_info> newest = r->stamps->newest()) {
        const std::chrono::duration<double, std::milli> latency =
            std::chrono::system_clock::now() - newest->written;
        r->tally.count(std::max(0.0, latency.count()));
    } else {
        r->tally.count();
    }
    if (r->last != nullptr) {
        gst_sample_unref(r->last);
    }
    r->last = sample; // keep it for the snapshot
    return GST_FLOW_OK;
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

} // namespace

int main(int argc, char** argv) {
    std::string name = shared_memory_video_buffer_id("publisher"); // "publisher_buffer"
    std::string snapshot;
    unsigned seconds = 0, timeout = 10;
    const char* const usage = "usage: zorvgst-element-reader [--name NAME] [--snapshot FILE.png]"
                              " [--seconds S] [--timeout S]";
    const auto given = example_host::options()
                           .add("--name", name)
                           .add("--snapshot", snapshot)
                           .add("--seconds", seconds)
                           .add("--timeout", timeout);
    if (!example_host::start(given, argc, argv, usage)) {
        return 2;
    }
    // The name goes into a pipeline description: keep it to characters that need no quoting.
    if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789_-.") != std::string::npos) {
        std::cerr << argv[0] << ": a name of letters, digits, '_', '-' and '.' only\n"
                  << usage << "\n";
        return 2;
    }

    // zorvdbsrc waits for the writer and for each frame up to its timeout (in nanoseconds),
    // then ends the stream.
    const std::string description = "zorvdbsrc name=source buffer-name=" + name +
                                    " timeout=" + std::to_string(guint64{timeout} * GST_SECOND) +
                                    " ! appsink name=frames sync=false max-buffers=2 drop=true";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (pipeline == nullptr || error != nullptr) {
        std::cerr << "cannot build '" << description << "': " << (error ? error->message : "?")
                  << " (is GST_PLUGIN_PATH pointing at the zorvgst plugin?)\n";
        g_clear_error(&error);
        return 1;
    }
    zorvgst::frame_reader stamps(name);
    reader_t reader;
    reader.stamps = &stamps;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "frames");
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = on_new_sample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &reader, nullptr);
    gst_object_unref(sink);

    std::cout << "reading " << name << " through zorvdbsrc" << std::endl;
    example_host::run_pipeline(pipeline, seconds);
    reader.tally.report(std::cout, "received", true);

    int status = 0;
    if (!snapshot.empty()) {
        if (reader.last != nullptr && write_png(reader.last, snapshot)) {
            std::cout << "snapshot written to " << snapshot << std::endl;
        } else {
            std::cerr << "no snapshot written to " << snapshot << "\n";
            status = 1;
        }
    }
    if (reader.last != nullptr) {
        gst_sample_unref(reader.last);
    }
    gst_object_unref(pipeline);
    return status;
}
