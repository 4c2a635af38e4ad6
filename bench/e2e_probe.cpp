// SPDX-License-Identifier: LGPL-2.1-or-later
// Runs one side of an end-to-end video pipeline and reports its frames, CPU time and latency.
//
//   zorv_e2e_probe writer|reader|floor <warmup s> <measure s> <pipeline description> [<tail s>]
//   zorv_e2e_probe remove <buffer name>      removes a double buffer of either backend or a ring
//
// The writer stamps each frame, just before the element named "push" receives it, with the
// monotonic clock and a sequence number in its first 16 bytes. The reader reads them back where
// the element named "out" receives the frame: the monotonic clock is the same in every process
// of the machine, so the difference is the end-to-end latency. "floor" stamps and reads on the
// element named "out" in one process. A writer given a tail streams on after measuring, uncounted,
// until SIGTERM or the end of the tail, so that readers which started late measure a live stream.
// After the warm-up, frames and CPU time (user + system, getrusage) are counted for the
// measuring time; the result is one JSON line on stdout.
//
// A writer pipeline with an element named "origin" (a converter before the sink) dates each frame
// when it enters that element, matched at "push" by its timestamp: latency then includes the
// conversion. The writer also reports the longest time between two frames it pushed while
// measuring. A reader reports the frames-leased / frames-copied counters of the element that has
// them (zorvdbsrc) over the measuring time, and how many runs of read-only (a leased slot) and of
// writable buffers reached "out".
#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <gst/gst.h>
#include <log4cxx/logger.h>
#include <unistd.h>

#include <zorvgst/inventory.h>

#include "pipeline_end.h"
#include "process_timing.h"

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorve2e");

namespace {

using zorvbench::monotonic_ns;
using zorvbench::percentile;

struct stamp_t {
    std::int64_t sent_ns;
    std::uint64_t sequence;
};

struct probe_state {
    std::atomic<bool> measuring{false};
    std::atomic<std::uint64_t> next_sequence{1};
    // Counted during the measuring time only.
    std::atomic<std::uint64_t> pushed{0};
    std::atomic<std::int64_t> measure_start_ns{0};
    std::atomic<std::int64_t> last_push_ns{0};
    std::atomic<std::int64_t> longest_interval_ns{0};
    bool dated_at_origin = false;
    std::mutex lock;
    std::vector<double> latencies_us;
    std::unordered_set<std::uint64_t> seen;
    std::uint64_t received = 0, repeated = 0, unstamped = 0;
    std::uint64_t first_sequence = 0, last_sequence = 0;
    // Runs of buffers whose memory is read-only, and of writable ones, in the order they came.
    std::uint64_t read_only_runs = 0, writable_runs = 0;
    std::optional<bool> last_read_only;
};

probe_state state;

// When recent frames entered "origin", by timestamp; a converter keeps the timestamp.
class origin_times_t {
public:
    void remember(GstClockTime pts, std::int64_t ns) {
        std::lock_guard<std::mutex> guard(lock_);
        entries_[next_++ % entries_.size()] = {pts, ns};
    }
    std::optional<std::int64_t> find(GstClockTime pts) {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& [entry_pts, ns] : entries_) {
            if (ns != 0 && entry_pts == pts) {
                return ns;
            }
        }
        return std::nullopt;
    }

private:
    std::mutex lock_;
    std::array<std::pair<GstClockTime, std::int64_t>, 64> entries_{};
    std::size_t next_ = 0;
};

origin_times_t origin_times;

volatile std::sig_atomic_t stop_requested = 0;

GstPadProbeReturn date_frame(GstPad*, GstPadProbeInfo* info, gpointer) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (buffer != nullptr && GST_BUFFER_PTS_IS_VALID(buffer)) {
        origin_times.remember(GST_BUFFER_PTS(buffer), monotonic_ns());
    }
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn stamp_frame(GstPad*, GstPadProbeInfo* info, gpointer) {
    const std::int64_t now = monotonic_ns();
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (buffer == nullptr || gst_buffer_get_size(buffer) < sizeof(stamp_t)) {
        return GST_PAD_PROBE_OK;
    }
    if (!gst_buffer_is_writable(buffer)) {
        buffer = gst_buffer_make_writable(buffer);
        GST_PAD_PROBE_INFO_DATA(info) = buffer;
    }
    std::int64_t sent = now;
    if (state.dated_at_origin && GST_BUFFER_PTS_IS_VALID(buffer)) {
        sent = origin_times.find(GST_BUFFER_PTS(buffer)).value_or(now);
    }
    const stamp_t stamp{sent, state.next_sequence.fetch_add(1)};
    gst_buffer_fill(buffer, 0, &stamp, sizeof(stamp));
    const std::int64_t previous = state.last_push_ns.exchange(now);
    if (state.measuring.load()) {
        state.pushed.fetch_add(1);
        // Only gaps wholly inside the window: a stall of the writer shows here.
        if (previous >= state.measure_start_ns.load()) {
            const std::int64_t gap = now - previous;
            if (gap > state.longest_interval_ns.load()) {
                state.longest_interval_ns = gap;
            }
        }
    }
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn read_frame(GstPad*, GstPadProbeInfo* info, gpointer) {
    const std::int64_t now = monotonic_ns();
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (buffer == nullptr || !state.measuring.load()) {
        return GST_PAD_PROBE_OK;
    }
    stamp_t stamp{};
    const bool stamped = gst_buffer_extract(buffer, 0, &stamp, sizeof(stamp)) == sizeof(stamp) &&
                         stamp.sequence != 0 && stamp.sent_ns > 0 && stamp.sent_ns <= now;
    const bool read_only = gst_buffer_n_memory(buffer) > 0 &&
                           GST_MEMORY_IS_READONLY(gst_buffer_peek_memory(buffer, 0));
    std::lock_guard<std::mutex> guard(state.lock);
    ++state.received;
    if (state.last_read_only != read_only) {
        ++(read_only ? state.read_only_runs : state.writable_runs);
        state.last_read_only = read_only;
    }
    if (!stamped) {
        ++state.unstamped;
        return GST_PAD_PROBE_OK;
    }
    if (!state.seen.insert(stamp.sequence).second) {
        ++state.repeated;
        return GST_PAD_PROBE_OK;
    }
    if (state.first_sequence == 0 || stamp.sequence < state.first_sequence) {
        state.first_sequence = stamp.sequence;
    }
    state.last_sequence = std::max(state.last_sequence, stamp.sequence);
    state.latencies_us.push_back(static_cast<double>(now - stamp.sent_ns) / 1000.0);
    return GST_PAD_PROBE_OK;
}

bool has_element(GstElement* pipeline, const char* element_name) {
    GstElement* element = gst_bin_get_by_name(GST_BIN(pipeline), element_name);
    if (element != nullptr) {
        gst_object_unref(element);
    }
    return element != nullptr;
}

bool add_probe(GstElement* pipeline, const char* element_name, GstPadProbeCallback callback) {
    GstElement* element = gst_bin_get_by_name(GST_BIN(pipeline), element_name);
    if (element == nullptr) {
        std::fprintf(stderr, "no element named \"%s\" in the pipeline\n", element_name);
        return false;
    }
    GstPad* pad = gst_element_get_static_pad(element, "sink");
    if (pad == nullptr) {
        std::fprintf(stderr, "element \"%s\" has no sink pad\n", element_name);
        gst_object_unref(element);
        return false;
    }
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, callback, nullptr, nullptr);
    gst_object_unref(pad);
    gst_object_unref(element);
    return true;
}

// The first element of the pipeline with a "frames-leased" property (zorvdbsrc), or null.
GstElement* find_lease_counters(GstElement* pipeline) {
    GstIterator* elements = gst_bin_iterate_recurse(GST_BIN(pipeline));
    GValue item = G_VALUE_INIT;
    GstElement* found = nullptr;
    while (found == nullptr && gst_iterator_next(elements, &item) == GST_ITERATOR_OK) {
        auto* element = GST_ELEMENT(g_value_get_object(&item));
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), "frames-leased") != nullptr) {
            found = GST_ELEMENT(gst_object_ref(element));
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(elements);
    return found;
}

// frames-leased and frames-copied of `element` now; -1 each without one.
std::pair<std::int64_t, std::int64_t> lease_counters(GstElement* element) {
    if (element == nullptr) {
        return {-1, -1};
    }
    guint64 leased = 0, copied = 0;
    g_object_get(element, "frames-leased", &leased, "frames-copied", &copied, nullptr);
    return {static_cast<std::int64_t>(leased), static_cast<std::int64_t>(copied)};
}

// Sleeps for `seconds` unless the pipeline ends or fails first; false when it did.
bool run_for(GstElement* pipeline, double seconds) {
    return !zorvbench::pipeline_ended(pipeline, static_cast<GstClockTime>(seconds * GST_SECOND));
}

} // namespace

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    logger->setLevel(log4cxx::Level::getOff());
    if (argc == 3 && std::string(argv[1]) == "remove") {
        zorvgst::remove_buffer(argv[2]);
        return 0;
    }
    if (argc != 5 && !(argc == 6 && std::string(argv[1]) == "writer")) {
        std::fprintf(stderr,
                     "usage: %s writer|reader|floor <warmup s> <measure s> <pipeline> [<tail s>]\n",
                     argv[0]);
        return 2;
    }
    const std::string role = argv[1];
    const double warmup = std::atof(argv[2]);
    const double measure = std::atof(argv[3]);
    const double tail = argc == 6 ? std::atof(argv[5]) : 0.0;
    std::signal(SIGTERM, [](int) { stop_requested = 1; });
    const bool writes = role == "writer" || role == "floor";
    const bool reads = role == "reader" || role == "floor";
    if (!writes && !reads) {
        std::fprintf(stderr, "unknown role \"%s\"\n", role.c_str());
        return 2;
    }
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(argv[4], &error);
    if (pipeline == nullptr || error != nullptr) {
        std::fprintf(stderr, "cannot build the pipeline: %s\n", error ? error->message : "?");
        g_clear_error(&error);
        return 2;
    }
    // In one process the frame is stamped and read back on the same pad: the floor's latency
    // is only the two probes'.
    const char* stamped_at = role == "floor" ? "out" : "push";
    if ((writes && !add_probe(pipeline, stamped_at, stamp_frame)) ||
        (reads && !add_probe(pipeline, "out", read_frame))) {
        gst_object_unref(pipeline);
        return 2;
    }
    state.dated_at_origin = writes && has_element(pipeline, "origin");
    if (state.dated_at_origin && !add_probe(pipeline, "origin", date_frame)) {
        gst_object_unref(pipeline);
        return 2;
    }
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        std::fprintf(stderr, "the pipeline does not start\n");
        gst_object_unref(pipeline);
        return 1;
    }
    GstElement* counters = reads ? find_lease_counters(pipeline) : nullptr;
    bool ok = run_for(pipeline, warmup);
    const auto counters_before = lease_counters(counters);
    const double cpu_before = zorvbench::process_cpu_seconds();
    const std::int64_t start = monotonic_ns();
    state.measure_start_ns = start;
    state.measuring = true;
    ok = ok && run_for(pipeline, measure);
    state.measuring = false;
    const double elapsed = static_cast<double>(monotonic_ns() - start) / 1e9;
    const double cpu = zorvbench::process_cpu_seconds() - cpu_before;
    const auto counters_after = lease_counters(counters);
    const bool counted = counters != nullptr;
    const std::int64_t leased = counted ? counters_after.first - counters_before.first : -1;
    const std::int64_t copied = counted ? counters_after.second - counters_before.second : -1;
    if (counters != nullptr) {
        gst_object_unref(counters);
    }
    for (double left = tail; ok && left > 0 && stop_requested == 0; left -= 0.05) {
        if (!run_for(pipeline, std::min(left, 0.05))) {
            break;
        }
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);

    std::lock_guard<std::mutex> guard(state.lock);
    std::sort(state.latencies_us.begin(), state.latencies_us.end());
    const std::uint64_t unique = state.seen.size();
    // Frames the writer stamped between the first and the last one this reader saw, that it
    // never saw.
    const std::uint64_t dropped =
        unique == 0 ? 0 : state.last_sequence - state.first_sequence + 1 - unique;
    const std::uint64_t frames = writes && !reads ? state.pushed.load() : unique;
    std::printf(
        "{\"role\": \"%s\", \"ok\": %s, \"seconds\": %.3f, \"frames\": %llu, "
        "\"fps\": %.2f, \"cpu_s\": %.3f, \"cpu_ms_per_frame\": %.3f, "
        "\"received\": %llu, \"repeated\": %llu, \"unstamped\": %llu, "
        "\"dropped\": %llu, \"stamped_in_all\": %llu, \"latency_median_us\": %.1f, "
        "\"latency_p99_us\": %.1f, \"interval_max_ms\": %.2f, \"frames_leased\": %lld, "
        "\"frames_copied\": %lld, \"read_only_runs\": %llu, \"writable_runs\": %llu}\n",
        role.c_str(), ok ? "true" : "false", elapsed, static_cast<unsigned long long>(frames),
        static_cast<double>(frames) / elapsed, cpu,
        frames == 0 ? 0.0 : cpu * 1000.0 / static_cast<double>(frames),
        static_cast<unsigned long long>(state.received),
        static_cast<unsigned long long>(state.repeated),
        static_cast<unsigned long long>(state.unstamped), static_cast<unsigned long long>(dropped),
        static_cast<unsigned long long>(state.next_sequence.load() - 1),
        percentile(state.latencies_us, 0.5), percentile(state.latencies_us, 0.99),
        static_cast<double>(state.longest_interval_ns.load()) / 1e6, static_cast<long long>(leased),
        static_cast<long long>(copied), static_cast<unsigned long long>(state.read_only_runs),
        static_cast<unsigned long long>(state.writable_runs));
    return ok ? 0 : 1;
}
