// SPDX-License-Identifier: LGPL-2.1-or-later
// What the GStreamer example hosts share: their command lines, their start, a tally of the frames
// that went through, and running a pipeline until Ctrl-C, a time limit, an error or the end of
// the stream.
#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <glib-unix.h>
#include <gst/gst.h>

#include <zorvgst/library.h>
#include <zorvgst/pipeline.h>

#include "example_basics.h"

namespace example_host {

/// "--option value" (or "--option=value") pairs, each written into the variable it names.
class options {
public:
    /// A text that is not empty.
    options& add(const std::string& option, std::string& text) {
        setters_[option] = [&text](const std::string& value) {
            text = value;
            return !value.empty();
        };
        return *this;
    }

    /// A whole number from `lowest` to `highest`.
    options& add(const std::string& option, unsigned& number, unsigned lowest = 0,
                 unsigned highest = 1000000) {
        setters_[option] = [&number, lowest, highest](const std::string& value) {
            const auto parsed = whole_number(value, lowest, highest);
            number = parsed.value_or(number);
            return parsed.has_value();
        };
        return *this;
    }

    /// Sets the variables the command line names. Returns what is wrong with it, or nothing.
    std::optional<std::string> parse(int argc, char** argv) const {
        for (int i = 1; i < argc; ++i) {
            std::string option = argv[i];
            if (option.rfind("--", 0) != 0) {
                return "unexpected argument '" + option + "'";
            }
            std::optional<std::string> value;
            if (const auto equals = option.find('='); equals != std::string::npos) {
                value = option.substr(equals + 1);
                option.erase(equals);
            } else if (i + 1 < argc) {
                value = argv[++i];
            }
            const auto setter = setters_.find(option);
            if (setter == setters_.end()) {
                return "unknown option '" + option + "'";
            }
            if (!value) {
                return "option '" + option + "' needs a value";
            }
            if (!setter->second(*value)) {
                return "option '" + option + "' cannot be '" + *value + "'";
            }
        }
        return std::nullopt;
    }

private:
    // Each returns false when the text does not fit its variable.
    std::map<std::string, std::function<bool(const std::string&)>> setters_;
};

/// What every GStreamer example host does first: library warnings to the console, the command
/// line into the variables `given` binds, then the library (and GStreamer) initialised. On a
/// usage error prints what is wrong and `usage`, and returns false: the host then exits with
/// status 2.
inline bool start(const options& given, int argc, char** argv, const char* usage) {
    show_library_warnings();
    if (const auto error = given.parse(argc, argv)) {
        std::cerr << argv[0] << ": " << *error << "\n" << usage << "\n";
        return false;
    }
    zorvgstlib_init(argc, argv);
    return true;
}

/// Frames counted as they go through, with how long after their publication each did.
class frame_tally {
public:
    void count(double latency_ms = -1) {
        const auto now = std::chrono::steady_clock::now();
        if (frames_++ == 0) {
            first_ = now;
        }
        last_ = now;
        // A bounded record: a host left running for days keeps its memory.
        if (latency_ms >= 0 && latencies_ms_.size() < 100000) {
            latencies_ms_.push_back(latency_ms);
        }
    }

    /// "VERB N frames, F fps", and with `timed` the median latency (0 when none was counted).
    void report(std::ostream& out, const char* verb, bool timed) {
        const double span_s = std::chrono::duration<double>(last_ - first_).count();
        out << std::fixed << std::setprecision(2) << verb << " " << frames_ << " frames, "
            << (span_s > 0 ? static_cast<double>(frames_ - 1) / span_s : 0.0) << " fps";
        if (timed) {
            double median = 0;
            if (!latencies_ms_.empty()) {
                const auto middle = latencies_ms_.begin() + latencies_ms_.size() / 2;
                std::nth_element(latencies_ms_.begin(), middle, latencies_ms_.end());
                median = *middle;
            }
            out << ", median publish-to-read latency " << median << " ms";
        }
        out << std::endl;
    }

private:
    unsigned long long frames_ = 0;
    std::chrono::steady_clock::time_point first_{};
    std::chrono::steady_clock::time_point last_{};
    std::vector<double> latencies_ms_;
};

/// Plays `pipeline` until Ctrl-C, SIGTERM, `seconds` (0: no limit), an error or the end of the
/// stream (the library's bus watch logs what the pipeline reports and ends the loop), runs
/// `stopping`, then stops the pipeline.
inline void run_pipeline(GstElement* pipeline, unsigned seconds,
                         const std::function<void()>& stopping = {}) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    const GSourceFunc quit = [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        // Stays installed: a second Ctrl-C while the pipeline stops must not kill the process.
        return G_SOURCE_CONTINUE;
    };
    std::vector<guint> sources = {g_unix_signal_add(SIGINT, quit, loop),
                                  g_unix_signal_add(SIGTERM, quit, loop)};
    if (seconds > 0) {
        sources.push_back(g_timeout_add_seconds(seconds, quit, loop));
    }
    bus_cb_data_t bus_data{loop, pipeline, 0};
    GstBus* bus = gst_element_get_bus(pipeline);
    sources.push_back(gst_bus_add_watch(bus, standard_bus_cb, &bus_data));
    gst_object_unref(bus);

    gst_play(pipeline);
    g_main_loop_run(loop);
    if (stopping) {
        stopping();
    }
    set_element_state(pipeline, GST_STATE_NULL, 5 * GST_SECOND);
    for (const guint source : sources) {
        g_source_remove(source);
    }
    g_main_loop_unref(loop);
}

} // namespace example_host
