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
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <log4cxx/logger.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/sysv_double_buffer.h>
#include <zorvgst/zorvgst.h>

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

std::vector<std::uint8_t> random_frame() {
    std::vector<std::uint8_t> out(frame_bytes);
    std::mt19937 random(7);
    for (auto& byte : out) {
        byte = static_cast<std::uint8_t>(random());
    }
    return out;
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

// The POSIX writer through the facade.
void BM_FirstFrame_Posix(benchmark::State& state) {
    const std::string name = "zorvbench_" + std::to_string(getpid()) + "_first_frame_buffer";
    const auto pixels = random_frame();
    step_times steps;
    for (auto _ : state) {
        double_buffer_t::remove(name.c_str());
        const auto start = clock_type::now();
        double_buffer_t writer(name.c_str(), ipc::read_write, width, height);
        const auto opened = clock_type::now();
        if (!writer.is_valid()) {
            state.SkipWithError("cannot create the double buffer");
            break;
        }
        // render() publishes too: time the copy alone with a raw copy into the write slot,
        // then the publication on its own.
        std::memcpy(writer.get_write_address(), pixels.data(), frame_bytes);
        const auto copied = clock_type::now();
        writer.release_write_sem();
        const auto published = clock_type::now();
        steps.open_us.push_back(micros(start, opened));
        steps.copy_us.push_back(micros(opened, copied));
        steps.publish_us.push_back(micros(copied, published));
        state.SetIterationTime(micros(start, published) / 1e6);
    }
    double_buffer_t::remove(name.c_str());
    steps.report(state);
}

// The same through render(GstSample*, ...): open, then the first render, which publishes.
void BM_FirstFrame_PosixRender(benchmark::State& state) {
    const std::string name = "zorvbench_" + std::to_string(getpid()) + "_first_frame_buffer";
    const auto pixels = random_frame();
    GstBuffer* gst_buffer = gst_buffer_new_allocate(nullptr, frame_bytes, nullptr);
    gst_buffer_fill(gst_buffer, 0, pixels.data(), frame_bytes);
    GstCaps* caps = gst_caps_from_string(build_caps_string(width, height, 30).c_str());
    GstSample* sample = gst_sample_new(gst_buffer, caps, nullptr, nullptr);
    step_times steps;
    for (auto _ : state) {
        double_buffer_t::remove(name.c_str());
        const auto start = clock_type::now();
        double_buffer_t writer(name.c_str(), ipc::read_write, width, height);
        const auto opened = clock_type::now();
        render(sample, writer, 0, 0, width);
        const auto published = clock_type::now();
        steps.open_us.push_back(micros(start, opened));
        steps.copy_us.push_back(micros(opened, published));
        state.SetIterationTime(micros(start, published) / 1e6);
    }
    double_buffer_t::remove(name.c_str());
    state.counters["open_us"] = median(steps.open_us);
    state.counters["first_render_us"] = median(steps.copy_us);
    gst_sample_unref(sample);
    gst_caps_unref(caps);
    gst_buffer_unref(gst_buffer);
}

void BM_FirstFrame_Sysv(benchmark::State& state) {
    using sysv_double_buffer::sysv_double_buffer_t;
    const std::string name = "zorvbench_" + std::to_string(getpid()) + "_first_frame_buffer";
    const auto pixels = random_frame();
    step_times steps;
    for (auto _ : state) {
        sysv_double_buffer_t::remove(name.c_str());
        const auto start = clock_type::now();
        sysv_double_buffer_t writer(name.c_str(), ipc::read_write, width, height);
        const auto opened = clock_type::now();
        if (!writer.is_valid()) {
            state.SkipWithError("cannot create the double buffer");
            break;
        }
        writer.grab_write_sem();
        std::memcpy(writer.get_write_address(), pixels.data(), frame_bytes);
        const auto copied = clock_type::now();
        writer.release_write_sem();
        const auto published = clock_type::now();
        steps.open_us.push_back(micros(start, opened));
        steps.copy_us.push_back(micros(opened, copied));
        steps.publish_us.push_back(micros(copied, published));
        state.SetIterationTime(micros(start, published) / 1e6);
    }
    sysv_double_buffer_t::remove(name.c_str());
    steps.report(state);
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
    zorvgstlib_init(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
