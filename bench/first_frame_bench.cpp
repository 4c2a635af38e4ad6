// SPDX-License-Identifier: LGPL-2.1-or-later
// Cost of a writer's first 1080p frame into a freshly created double buffer, both backends.
//
// Each iteration removes the buffer, then times three steps: opening the writer (which creates
// and sizes the object), the first copy into the write slot, and the publication. The manual
// time of an iteration is all three; the counters give each step's median.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include <benchmark/benchmark.h>
#include <log4cxx/logger.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/render.h>
#include <zorvgst/sysv_double_buffer.h>

#include "bench_main.h"
#include "frame_sample.h"

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvbench");

namespace {

namespace ipc = boost::interprocess;
using clock_type = std::chrono::steady_clock;

constexpr unsigned width = 1920;
constexpr unsigned height = 1080;
constexpr std::size_t frame_bytes = std::size_t{width} * height * 4;

double micros(clock_type::time_point from, clock_type::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct step_times {
    std::vector<double> open_us, copy_us, publish_us;

    void report(benchmark::State& state) const {
        state.counters["open_us"] = median(open_us);
        state.counters["first_copy_us"] = median(copy_us);
        state.counters["publish_us"] = median(publish_us);
        state.counters["copy_and_publish_us"] = median(copy_us) + median(publish_us);
    }
};

// One iteration per fresh buffer: removes it, opens a writer (which creates and sizes the
// object), then times `copy` of the first frame and `publish` of it on that writer.
template <typename Buffer, typename Copy, typename Publish>
void first_frames(benchmark::State& state, step_times& steps, Copy copy, Publish publish) {
    const std::string name = "zorvbench_" + std::to_string(getpid()) + "_first_frame_buffer";
    for (auto _ : state) {
        Buffer::remove(name.c_str());
        const auto start = clock_type::now();
        Buffer writer(name.c_str(), ipc::read_write, width, height);
        const auto opened = clock_type::now();
        if (!writer.is_valid()) {
            state.SkipWithError("cannot create the double buffer");
            break;
        }
        copy(writer);
        const auto copied = clock_type::now();
        publish(writer);
        const auto published = clock_type::now();
        steps.open_us.push_back(micros(start, opened));
        steps.copy_us.push_back(micros(opened, copied));
        steps.publish_us.push_back(micros(copied, published));
        state.SetIterationTime(micros(start, published) / 1e6);
    }
    Buffer::remove(name.c_str());
}

// A raw copy into the write slot, then the publication on its own (render() would do both).
template <typename Buffer> void copy_then_publish(benchmark::State& state) {
    const auto pixels = zorvbench::random_frame(frame_bytes, 7);
    step_times steps;
    first_frames<Buffer>(
        state, steps,
        [&](Buffer& writer) {
            // Both grabs only check validity; the System V figures have always included
            // theirs in the copy, and stay comparable with earlier results.
            if constexpr (std::is_same_v<Buffer, sysv_double_buffer::sysv_double_buffer_t>) {
                writer.grab_write_sem();
            }
            std::memcpy(writer.get_write_address(), pixels.data(), frame_bytes);
        },
        [](Buffer& writer) { writer.release_write_sem(); });
    steps.report(state);
}

// The POSIX writer through the facade.
void BM_FirstFrame_Posix(benchmark::State& state) {
    copy_then_publish<double_buffer_t>(state);
}

// The same through render(GstSample*, ...): the first render, which publishes as well.
void BM_FirstFrame_PosixRender(benchmark::State& state) {
    const zorvbench::frame_sample frame(zorvbench::random_frame(frame_bytes, 7), width, height);
    step_times steps;
    first_frames<double_buffer_t>(
        state, steps, [&](double_buffer_t& writer) { render(frame.sample(), writer, 0, 0, width); },
        [](double_buffer_t&) {});
    state.counters["open_us"] = median(steps.open_us);
    state.counters["first_render_us"] = median(steps.copy_us);
}

void BM_FirstFrame_Sysv(benchmark::State& state) {
    copy_then_publish<sysv_double_buffer::sysv_double_buffer_t>(state);
}

BENCHMARK(BM_FirstFrame_Posix)->Iterations(40)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FirstFrame_PosixRender)
    ->Iterations(40)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FirstFrame_Sysv)->Iterations(40)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    // Creating a buffer without the group "zorv" logs at fatal; nothing else is wanted here.
    logger->setLevel(log4cxx::Level::getOff());
    return zorvbench::run_benchmarks(argc, argv);
}
