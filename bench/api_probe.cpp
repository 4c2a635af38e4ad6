// SPDX-License-Identifier: LGPL-2.1-or-later
// One side of a two-process frame stream driven by the application itself, through the frame API
// or through appsrc ! shmsink -> shmsrc ! appsink, and what that side costs per frame.
//
//   zorv_api_probe writer posix|sysv|gst <target> <width> <height> <fps> <warmup s> <measure s>
//                  <tail s>
//   zorv_api_probe reader posix|sysv|gst <target> <width> <height> <warmup s> <measure s>
//   zorv_api_probe remove <buffer name>
//
// The target is the buffer's name for posix and sysv; for gst, the pipeline description, with an
// appsrc named "src" for the writer and an appsink named "out" for the reader.
//
// Writers draw every frame in place, paced on the steady clock: each byte set to a value that
// changes per frame, then the monotonic clock and a sequence number in the first 16 bytes, and the
// frame handed over at once. The frame API writer draws into frame() and publishes; the GStreamer
// writer draws into memory from shmsink's own allocator, which it asks for with an allocation
// query, and pushes that. Readers read the stamp where they first touch the frame (inside view()'s
// function, or right after mapping a pulled sample) and sum the last row, which must hold the
// frame's fill value. Writers go on after measuring, uncounted, until SIGTERM or the end of the
// tail, so that readers which started late measure a live stream. The result is one JSON line on
// stdout.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <log4cxx/logger.h>

#include <zorvgst/frames.h>
#include <zorvgst/inventory.h>

#include "pipeline_end.h"
#include "process_timing.h"

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvapi");

namespace {

using steady = std::chrono::steady_clock;
using zorvbench::monotonic_ns;
using zorvbench::percentile;
using zorvbench::process_cpu_seconds;
using namespace std::chrono_literals;

volatile std::sig_atomic_t stop_requested = 0;

struct stamp_t {
    std::int64_t sent_ns;
    std::uint64_t sequence;
};

// Never 0, so a frame left blank cannot pass for a drawn one.
std::uint8_t fill_of(std::uint64_t sequence) {
    return static_cast<std::uint8_t>(sequence % 255 + 1);
}

bool row_holds(const std::uint8_t* row, std::size_t bytes, std::uint8_t fill) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        sum += row[i];
    }
    return sum == std::uint64_t{fill} * bytes;
}

steady::duration seconds(double value) {
    return std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(value));
}

// Warm-up, measuring window and tail, from the start of the process.
struct timeline {
    steady::time_point measure_start, measure_end, end;
    timeline(double warmup, double measure, double tail)
        : measure_start(steady::now() + seconds(warmup)),
          measure_end(measure_start + seconds(measure)), end(measure_end + seconds(tail)) {}
    bool over(steady::time_point now) const {
        return now >= end || (now >= measure_end && stop_requested != 0);
    }
};

// Frames and CPU time inside the measuring window only. Frames are counted when their work
// starts; CPU time runs from the first counted frame to the first frame past the window, so it
// covers the work of exactly the frames counted.
class meter {
public:
    explicit meter(const timeline& times) : times_(times) {}
    // True when a frame whose work starts at `now` counts.
    bool tick(steady::time_point now) {
        if (!started_ && now >= times_.measure_start) {
            started_ = true;
            cpu_before_ = process_cpu_seconds();
        }
        if (started_ && !stopped_ && now >= times_.measure_end) {
            stop(now);
        }
        return started_ && !stopped_;
    }
    void stop(steady::time_point now) {
        if (started_ && !stopped_) {
            stopped_ = true;
            last_ = std::min(now, times_.measure_end);
            cpu_ = process_cpu_seconds() - cpu_before_;
        }
    }
    double elapsed() const {
        return started_ ? std::chrono::duration<double>(last_ - times_.measure_start).count() : 0;
    }
    double cpu() const { return cpu_; }

private:
    const timeline& times_;
    bool started_ = false, stopped_ = false;
    steady::time_point last_;
    double cpu_before_ = 0, cpu_ = 0;
};

// Sleeps until the next frame is due; a writer that fell behind goes on from now rather than
// catching up in a burst.
class pacer {
public:
    explicit pacer(double fps) : period_(fps > 0 ? seconds(1.0 / fps) : steady::duration{}) {}
    void wait() {
        std::this_thread::sleep_until(next_);
        const steady::time_point now = steady::now();
        next_ = std::max(next_ + period_, now);
    }

private:
    steady::duration period_;
    steady::time_point next_ = steady::now();
};

struct result_t {
    bool ok = true;
    std::uint64_t frames = 0;
    // Readers only.
    std::vector<double> latencies_us;
    std::unordered_set<std::uint64_t> seen;
    std::uint64_t received = 0, repeated = 0, unstamped = 0, mismatched = 0, overtaken = 0;
    std::uint64_t first_sequence = 0, last_sequence = 0;
    // GStreamer writer only: frames shmsink's allocator could not place in shared memory.
    std::uint64_t fallback = 0;
    std::string allocator = "-";

    void record(const stamp_t& stamp, std::int64_t seen_ns, bool row_ok) {
        ++received;
        if (stamp.sequence == 0 || stamp.sent_ns <= 0 || stamp.sent_ns > seen_ns) {
            ++unstamped;
            return;
        }
        if (!seen.insert(stamp.sequence).second) {
            ++repeated;
            return;
        }
        if (!row_ok) {
            ++mismatched;
        }
        first_sequence =
            first_sequence == 0 ? stamp.sequence : std::min(first_sequence, stamp.sequence);
        last_sequence = std::max(last_sequence, stamp.sequence);
        latencies_us.push_back(static_cast<double>(seen_ns - stamp.sent_ns) / 1000.0);
        ++frames;
    }
};

void print(const char* role, const std::string& transport, result_t& r, const meter& m) {
    std::sort(r.latencies_us.begin(), r.latencies_us.end());
    // Frames the writer stamped between the first and the last one this reader saw, that it
    // never saw.
    const std::uint64_t unique = r.seen.size();
    const std::uint64_t dropped = unique == 0 ? 0 : r.last_sequence - r.first_sequence + 1 - unique;
    const double elapsed = m.elapsed();
    const auto frames = static_cast<double>(r.frames);
    std::printf(
        "{\"role\": \"%s\", \"transport\": \"%s\", \"ok\": %s, \"seconds\": %.3f, "
        "\"frames\": %llu, \"fps\": %.2f, \"cpu_s\": %.3f, \"cpu_ms_per_frame\": %.3f, "
        "\"received\": %llu, \"repeated\": %llu, \"unstamped\": %llu, "
        "\"mismatched\": %llu, \"overtaken\": %llu, \"dropped\": %llu, "
        "\"fallback\": %llu, \"allocator\": \"%s\", \"latency_median_us\": %.1f, "
        "\"latency_p99_us\": %.1f}\n",
        role, transport.c_str(), r.ok ? "true" : "false", elapsed,
        static_cast<unsigned long long>(r.frames), elapsed > 0 ? frames / elapsed : 0.0, m.cpu(),
        r.frames == 0 ? 0.0 : m.cpu() * 1000.0 / frames,
        static_cast<unsigned long long>(r.received), static_cast<unsigned long long>(r.repeated),
        static_cast<unsigned long long>(r.unstamped), static_cast<unsigned long long>(r.mismatched),
        static_cast<unsigned long long>(r.overtaken), static_cast<unsigned long long>(dropped),
        static_cast<unsigned long long>(r.fallback), r.allocator.c_str(),
        percentile(r.latencies_us, 0.5), percentile(r.latencies_us, 0.99));
}

struct frame_shape {
    unsigned width, height;
    std::size_t row_bytes() const { return std::size_t{width} * 4; }
    std::size_t bytes() const { return row_bytes() * height; }
};

void draw(std::uint8_t* pixels, const frame_shape& shape, std::uint64_t sequence) {
    std::memset(pixels, fill_of(sequence), shape.bytes());
    const stamp_t stamp{monotonic_ns(), sequence};
    std::memcpy(pixels, &stamp, sizeof(stamp));
}

int zorv_writer(zorvgst::backend kind, const std::string& name, const frame_shape& shape,
                double fps, const timeline& times, result_t& r, meter& m) {
    zorvgst::frame_writer writer(name, shape.width, shape.height, kind);
    pacer pace(fps);
    for (std::uint64_t sequence = 1;; ++sequence) {
        pace.wait();
        const steady::time_point now = steady::now();
        if (times.over(now)) {
            m.stop(now);
            break;
        }
        r.frames += m.tick(now) ? 1 : 0;
        draw(writer.frame(), shape, sequence);
        writer.publish();
    }
    return 0;
}

int zorv_reader(zorvgst::backend kind, const std::string& name, const frame_shape& shape,
                const timeline& times, result_t& r, meter& m) {
    zorvgst::frame_reader reader(name, kind);
    for (steady::time_point now = steady::now(); now < times.measure_end; now = steady::now()) {
        if (!reader.wait(std::min<steady::duration>(100ms, times.measure_end - now))) {
            continue;
        }
        const bool counted = m.tick(steady::now());
        stamp_t stamp{};
        std::int64_t seen_ns = 0;
        bool row_ok = false;
        const auto info = reader.view(
            [&](const std::uint8_t* pixels, std::size_t stride, const zorvgst::frame_info& frame) {
                seen_ns = monotonic_ns();
                std::memcpy(&stamp, pixels, sizeof(stamp));
                row_ok = frame.width == shape.width && frame.height == shape.height &&
                         row_holds(pixels + (shape.height - 1) * stride, shape.row_bytes(),
                                   fill_of(stamp.sequence));
            });
        if (!counted) {
            continue;
        }
        if (!info) {
            ++r.overtaken;
            continue;
        }
        r.record(stamp, seen_ns, row_ok);
    }
    m.stop(steady::now());
    return 0;
}

// No error or end of stream posted so far.
bool pipeline_healthy(GstElement* pipeline) {
    return !zorvbench::pipeline_ended(pipeline, 0);
}

// Owns a running pipeline and the one element the application drives.
struct gst_side {
    GstElement* pipeline = nullptr;
    GstElement* element = nullptr;
    gst_side(const std::string& description, const char* element_name) {
        GError* error = nullptr;
        pipeline = gst_parse_launch(description.c_str(), &error);
        if (pipeline == nullptr || error != nullptr) {
            const std::string why = error ? error->message : "?";
            g_clear_error(&error);
            throw std::runtime_error("cannot build the pipeline: " + why);
        }
        element = gst_bin_get_by_name(GST_BIN(pipeline), element_name);
        if (element == nullptr) {
            throw std::runtime_error(std::string("no element named \"") + element_name + "\"");
        }
        if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            throw std::runtime_error("the pipeline does not start");
        }
    }
    ~gst_side() {
        if (pipeline != nullptr) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
        }
        if (element != nullptr) {
            gst_object_unref(element);
        }
        if (pipeline != nullptr) {
            gst_object_unref(pipeline);
        }
    }
    gst_side(const gst_side&) = delete;
    gst_side& operator=(const gst_side&) = delete;
};

// What the element downstream of appsrc proposes for allocation: shmsink offers an allocator whose
// memory lies in its shared area, which it then sends without a copy. Null when nothing is offered.
GstAllocator* downstream_allocator(GstElement* appsrc, GstAllocationParams* params) {
    GstPad* pad = gst_element_get_static_pad(appsrc, "src");
    GstCaps* caps = gst_app_src_get_caps(GST_APP_SRC(appsrc));
    GstQuery* query = gst_query_new_allocation(caps, FALSE);
    GstAllocator* found = nullptr;
    if (gst_pad_peer_query(pad, query)) {
        for (guint i = 0; i < gst_query_get_n_allocation_params(query) && found == nullptr; ++i) {
            gst_query_parse_nth_allocation_param(query, i, &found, params);
        }
    }
    gst_query_unref(query);
    if (caps != nullptr) {
        gst_caps_unref(caps);
    }
    gst_object_unref(pad);
    return found;
}

int gst_writer(const std::string& description, const frame_shape& shape, double fps,
               const timeline& times, result_t& r, meter& m) {
    gst_side side(description, "src");
    if (!GST_IS_APP_SRC(side.element)) {
        throw std::runtime_error("the element named \"src\" is no appsrc");
    }
    GstAllocationParams params;
    gst_allocation_params_init(&params);
    GstAllocator* allocator = downstream_allocator(side.element, &params);
    if (allocator == nullptr) {
        std::fprintf(stderr, "no allocator proposed downstream: frames go in system memory\n");
    } else {
        r.allocator = G_OBJECT_TYPE_NAME(allocator);
    }
    pacer pace(fps);
    for (std::uint64_t sequence = 1;; ++sequence) {
        pace.wait();
        const steady::time_point now = steady::now();
        const bool over = times.over(now);
        if (over || !pipeline_healthy(side.pipeline)) {
            r.ok = over;
            m.stop(now);
            break;
        }
        const bool counted = m.tick(now);
        GstMemory* memory = gst_allocator_alloc(allocator, shape.bytes(), &params);
        if (memory == nullptr) {
            throw std::runtime_error("cannot allocate a frame");
        }
        // shmsink falls back to system memory when its area is full, and copies such frames.
        const bool in_place = allocator != nullptr && memory->allocator == allocator;
        GstBuffer* buffer = gst_buffer_new();
        gst_buffer_append_memory(buffer, memory);
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
            gst_buffer_unref(buffer);
            throw std::runtime_error("cannot map a frame");
        }
        draw(map.data, shape, sequence);
        gst_buffer_unmap(buffer, &map);
        if (gst_app_src_push_buffer(GST_APP_SRC(side.element), buffer) != GST_FLOW_OK) {
            std::fprintf(stderr, "appsrc refused a frame\n");
            r.ok = false;
            m.stop(steady::now());
            break;
        }
        if (counted) {
            ++r.frames;
            r.fallback += in_place ? 0 : 1;
        }
    }
    if (allocator != nullptr) {
        gst_object_unref(allocator);
    }
    return r.ok ? 0 : 1;
}

int gst_reader(const std::string& description, const frame_shape& shape, const timeline& times,
               result_t& r, meter& m) {
    gst_side side(description, "out");
    if (!GST_IS_APP_SINK(side.element)) {
        throw std::runtime_error("the element named \"out\" is no appsink");
    }
    GstAppSink* sink = GST_APP_SINK(side.element);
    for (steady::time_point now = steady::now(); now < times.measure_end; now = steady::now()) {
        const auto timeout = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::min<steady::duration>(100ms, times.measure_end - now));
        GstSample* sample = gst_app_sink_try_pull_sample(sink, timeout.count());
        if (sample == nullptr) {
            if (gst_app_sink_is_eos(sink) || !pipeline_healthy(side.pipeline)) {
                r.ok = false;
                break;
            }
            continue;
        }
        const bool counted = m.tick(steady::now());
        stamp_t stamp{};
        std::int64_t seen_ns = 0;
        bool row_ok = false;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            seen_ns = monotonic_ns();
            if (map.size >= shape.bytes()) {
                std::memcpy(&stamp, map.data, sizeof(stamp));
                row_ok = row_holds(map.data + (shape.height - 1) * shape.row_bytes(),
                                   shape.row_bytes(), fill_of(stamp.sequence));
            }
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
        if (counted) {
            r.record(stamp, seen_ns, row_ok);
        }
    }
    m.stop(steady::now());
    return r.ok ? 0 : 1;
}

bool parse(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= 0;
}

bool parse(const char* text, unsigned& value) {
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    value = static_cast<unsigned>(parsed);
    return end != text && *end == '\0' && parsed > 0 && parsed <= zorvgst::max_frame_dimension;
}

int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s writer posix|sysv|gst <name or pipeline> <width> <height> <fps> "
                 "<warmup s> <measure s> <tail s>\n"
                 "       %s reader posix|sysv|gst <name or pipeline> <width> <height> "
                 "<warmup s> <measure s>\n"
                 "       %s remove <buffer name>\n",
                 program, program, program);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    logger->setLevel(log4cxx::Level::getOff());
    std::signal(SIGTERM, [](int) { stop_requested = 1; });
    if (argc == 3 && std::string(argv[1]) == "remove") {
        return zorvgst::remove_buffer(argv[2]) ? 0 : 1;
    }
    const bool writes = argc == 10 && std::string(argv[1]) == "writer";
    const bool reads = argc == 8 && std::string(argv[1]) == "reader";
    if (!writes && !reads) {
        return usage(argv[0]);
    }
    const std::string transport = argv[2];
    const std::string target = argv[3];
    frame_shape shape{};
    double fps = 0, warmup = 0, measure = 0, tail = 0;
    const int times_at = writes ? 7 : 6;
    if (!parse(argv[4], shape.width) || !parse(argv[5], shape.height) ||
        (writes && !parse(argv[6], fps)) || !parse(argv[times_at], warmup) ||
        !parse(argv[times_at + 1], measure) || (writes && !parse(argv[times_at + 2], tail))) {
        return usage(argv[0]);
    }
    if (transport != "posix" && transport != "sysv" && transport != "gst") {
        return usage(argv[0]);
    }
    const auto kind = transport == "sysv" ? zorvgst::backend::sysv : zorvgst::backend::posix;
    if (transport == "gst") {
        gst_init(&argc, &argv);
    }
    result_t r;
    try {
        // The warm-up covers setting the side up as well (a buffer made, a pipeline built): the
        // driver starts each process at a known time, so their windows line up.
        const timeline times(warmup, measure, writes ? tail : 0);
        meter m(times);
        int code = 0;
        if (transport == "gst") {
            code = writes ? gst_writer(target, shape, fps, times, r, m)
                          : gst_reader(target, shape, times, r, m);
        } else {
            code = writes ? zorv_writer(kind, target, shape, fps, times, r, m)
                          : zorv_reader(kind, target, shape, times, r, m);
        }
        print(writes ? "writer" : "reader", transport, r, m);
        return code;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
}
