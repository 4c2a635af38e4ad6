// SPDX-License-Identifier: LGPL-2.1-or-later
// What the example hosts add to the programs' common set-up: a tally of the frames that went
// through, and running a pipeline until Ctrl-C, a time limit, an error or the end of the stream.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <iomanip>
#include <iostream>
#include <vector>

#include <gst/gst.h>

#include <zorvgst/library.h>
#include <zorvgst/pipeline.h>

#include "tools/common/arguments.h"
#include "tools/common/library_log.h"
#include "tools/common/main_loop.h"

namespace example_host {

using zorvgst_tools::log_warnings_to_console;

/// "--option value" pairs, each written into the variable it names.
using options = zorvgst_tools::option_bindings;

/// What every example host does first: library warnings to the console, the command line into
/// the variables `given` binds, then the library (and GStreamer) initialised. On a usage error
/// prints what is wrong and `usage`, and returns false: the host then exits with status 2.
inline bool start(const options& given, int argc, char** argv, const char* usage) {
    log_warnings_to_console(logger);
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

/// Plays `pipeline` until Ctrl-C, `seconds` (0: no limit), an error or the end of the stream
/// (the library's bus watch logs what the pipeline reports and ends the loop), runs `stopping`,
/// then stops the pipeline.
inline void run_pipeline(GstElement* pipeline, unsigned seconds,
                         const std::function<void()>& stopping = {}) {
    zorvgst_tools::main_loop loop;
    loop.stop_after(seconds);
    bus_cb_data_t bus_data{loop.get(), pipeline, 0};
    GstBus* bus = gst_element_get_bus(pipeline);
    const guint watch = gst_bus_add_watch(bus, standard_bus_cb, &bus_data);
    gst_object_unref(bus);
    gst_play(pipeline);
    loop.run();
    if (stopping) {
        stopping();
    }
    set_element_state(pipeline, GST_STATE_NULL, 5 * GST_SECOND);
    g_source_remove(watch);
}

} // namespace example_host
