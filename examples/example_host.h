// SPDX-License-Identifier: LGPL-2.1-or-later
// What the example hosts share: console logging, "--option value" arguments, a tally of the
// frames that went through, and running a pipeline until Ctrl-C, a time limit, an error or the
// end of the stream.
#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <iomanip>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <glib-unix.h>
#include <gst/gst.h>
#include <log4cxx/consoleappender.h>
#include <log4cxx/patternlayout.h>

#include <zorvgst/zorvgst.h>

namespace example_host {

/// What the library logs at warning level and above goes to the console, with the time.
inline void log_warnings_to_console(const log4cxx::LoggerPtr& library_logger) {
    auto layout = std::make_shared<log4cxx::PatternLayout>("%d{HH:mm:ss.SSS} %-5p %m%n");
    library_logger->addAppender(std::make_shared<log4cxx::ConsoleAppender>(layout));
    library_logger->setLevel(log4cxx::Level::getWarn());
}

/// Arguments given as "--option value" pairs, each written into the variable it names.
class options {
public:
    options& add(const std::string& flag, std::string& value) {
        setters_[flag] = [&value](const char* text) { value = text; };
        return *this;
    }
    options& add(const std::string& flag, unsigned& value) {
        setters_[flag] = [&value](const char* text) {
            value = static_cast<unsigned>(std::strtoul(text, nullptr, 10));
        };
        return *this;
    }
    /// False on an option it does not know or one without a value.
    bool parse(int argc, char** argv) const {
        for (int i = 1; i < argc; i += 2) {
            const auto setter = setters_.find(argv[i]);
            if (setter == setters_.end() || i + 1 >= argc) {
                return false;
            }
            setter->second(argv[i + 1]);
        }
        return true;
    }

private:
    std::map<std::string, std::function<void(const char*)>> setters_;
};

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

/// Plays `pipeline` until Ctrl-C, `seconds` (0: no limit), an error or the end of the stream
/// (the library's bus watch logs what the pipeline reports and ends the loop), runs `stopping`,
/// then stops the pipeline.
inline void run_pipeline(GstElement* pipeline, unsigned seconds,
                         const std::function<void()>& stopping = {}) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    bus_cb_data_t bus_data{loop, pipeline, 0};
    GstBus* bus = gst_element_get_bus(pipeline);
    const guint watch = gst_bus_add_watch(bus, standard_bus_cb, &bus_data);
    gst_object_unref(bus);
    // Stays installed: a second signal while stopping must not fall back to the default action.
    const GSourceFunc quit = [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_CONTINUE;
    };
    const guint sources[] = {g_unix_signal_add(SIGINT, quit, loop),
                             g_unix_signal_add(SIGTERM, quit, loop),
                             seconds > 0 ? g_timeout_add_seconds(seconds, quit, loop) : 0};
    gst_play(pipeline);
    g_main_loop_run(loop);
    if (stopping) {
        stopping();
    }
    set_element_state(pipeline, GST_STATE_NULL, 5 * GST_SECOND);
    for (const guint source : sources) {
        if (source != 0) {
            g_source_remove(source);
        }
    }
    g_source_remove(watch);
    g_main_loop_unref(loop);
}

} // namespace example_host
