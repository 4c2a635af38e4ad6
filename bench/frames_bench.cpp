// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame API: publication-to-wake latency across processes, the cost of read() beside a
// memcpy of the same bytes between the same memories, and what an idle reader costs.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <log4cxx/logger.h>
#include <unistd.h>

#include <zorvgst/frames.h>
#include <zorvgst/inventory.h>

#include "process_timing.h"
#include "writer_process.h"

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvbench");

namespace {

using zorvbench::is_sleeping;
using zorvbench::monotonic_ns;

using namespace std::chrono_literals;

constexpr unsigned width = 1920;
constexpr unsigned height = 1080;
constexpr std::size_t frame_bytes = std::size_t{width} * height * 4;

std::int64_t thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

std::string bench_name(const char* what) {
    return "zorvbench_" + std::to_string(getpid()) + "_" + what + "_buffer";
}

/// Where the frames go: a double buffer of either backend, or a BGRA frame ring.
enum class transport { posix, sysv, ring };

zorvgst::frame_writer make_writer(const std::string& name, unsigned w, unsigned h, transport kind) {
    if (kind == transport::ring) {
        return zorvgst::frame_writer(name, zorvgst::frame_format::of("BGRA", w, h));
    }
    return zorvgst::frame_writer(
        name, w, h, kind == transport::sysv ? zorvgst::backend::sysv : zorvgst::backend::posix);
}

zorvgst::frame_reader make_reader(const std::string& name, transport kind) {
    if (kind == transport::sysv) {
        return zorvgst::frame_reader(name, zorvgst::backend::sysv);
    }
    return zorvgst::frame_reader(name, zorvgst::backend::posix);
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * values.size()))];
}

// The reader asks for each frame through a pipe; the writer waits until the reader sleeps in
// wait(), stamps the monotonic time into the frame and publishes it.
void wake_latency(benchmark::State& state, transport kind) {
    const std::string name = bench_name("wake");
    zorvgst::remove_buffer(name);
    zorvbench::writer_process writer_side([&](int requests, pid_t reader_pid) {
        zorvgst::frame_writer writer = make_writer(name, width, height, kind);
        writer.publish();
        char go = 0;
        while (::read(requests, &go, 1) == 1) {
            while (!is_sleeping(reader_pid)) {
                std::this_thread::yield();
            }
            const std::int64_t sent = monotonic_ns();
            std::memcpy(writer.frame(), &sent, sizeof(sent));
            writer.publish();
        }
    });
    if (!writer_side.started()) {
        state.SkipWithError("pipe failed");
        return;
    }
    zorvgst::frame_reader reader = make_reader(name, kind);
    std::vector<double> latencies_us;
    // The writer's first (empty) frame is taken before timing starts.
    if (!reader.wait(5s) ||
        !reader.view([](const std::uint8_t*, std::size_t, const zorvgst::frame_info&) {})) {
        state.SkipWithError("no writer");
    }
    for (auto _ : state) {
        if (!writer_side.request() || !reader.wait(2s)) {
            state.SkipWithError("writer gone");
            break;
        }
        const std::int64_t received = monotonic_ns();
        std::int64_t sent = 0;
        reader.view([&](const std::uint8_t* pixels, std::size_t, const zorvgst::frame_info&) {
            std::memcpy(&sent, pixels, sizeof(sent));
        });
        latencies_us.push_back(static_cast<double>(received - sent) / 1000.0);
    }
    writer_side.stop(true);
    zorvgst::remove_buffer(name);
    state.counters["median_us"] = percentile(latencies_us, 0.5);
    state.counters["p99_us"] = percentile(latencies_us, 0.99);
}

// read() of the newest 1080p frame, and a memcpy from the same slot into the same destination.
void read_frame(benchmark::State& state, bool through_read) {
    const std::string name = bench_name("read");
    zorvgst::remove_buffer(name);
    {
        zorvgst::frame_writer writer(name, width, height);
        std::memset(writer.frame(), 0x42, frame_bytes);
        writer.publish();
        zorvgst::frame_reader reader(name);
        // One destination for both: where its pages landed (huge pages or not) must not decide
        // the comparison.
        static std::vector<std::uint8_t> destination(frame_bytes, 0);
        if (!reader.wait(2s)) {
            state.SkipWithError("no frame");
        }
        for (auto _ : state) {
            if (through_read) {
                benchmark::DoNotOptimize(
                    reader.read(destination.data(), std::size_t{width} * 4, destination.size()));
            } else {
                reader.view(
                    [&](const std::uint8_t* pixels, std::size_t, const zorvgst::frame_info&) {
                        std::memcpy(destination.data(), pixels, frame_bytes);
                    });
            }
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * frame_bytes);
    }
    zorvgst::remove_buffer(name);
}

void BM_Read_1080p(benchmark::State& state) {
    read_frame(state, true);
}

// Holding the newest 1080p frame of a ring and letting it go: what a zero-copy reader pays per
// frame instead of a copy.
void BM_Hold_1080p_Ring(benchmark::State& state) {
    const std::string name = bench_name("hold");
    zorvgst::remove_buffer(name);
    {
        zorvgst::frame_writer writer(name, zorvgst::frame_format::of("BGRA", width, height));
        std::memset(writer.frame(), 0x42, frame_bytes);
        writer.publish();
        zorvgst::frame_reader reader(name);
        if (!reader.wait(2s)) {
            state.SkipWithError("no frame");
        }
        for (auto _ : state) {
            std::optional<zorvgst::frame_lease> lease = reader.hold();
            benchmark::DoNotOptimize(lease->data());
        }
    }
    zorvgst::remove_buffer(name);
}
void BM_Memcpy_1080p_SameMemories(benchmark::State& state) {
    read_frame(state, false);
}

// A reader waiting on a buffer whose writer has stopped publishing: CPU time of its thread per
// second of waiting.
void idle_reader(benchmark::State& state, transport kind) {
    const std::string name = bench_name("idle");
    zorvgst::remove_buffer(name);
    {
        zorvgst::frame_writer writer = make_writer(name, 64, 64, kind);
        writer.publish();
        zorvgst::frame_reader reader = make_reader(name, kind);
        std::vector<std::uint8_t> frame(64 * 64 * 4);
        reader.wait(1s);
        reader.read(frame.data(), 64 * 4, frame.size());
        double cpu_percent = 0;
        for (auto _ : state) {
            const std::int64_t cpu_before = thread_cpu_ns();
            const auto wall_before = std::chrono::steady_clock::now();
            reader.wait(2s);
            const double wall_ns = std::chrono::duration<double, std::nano>(
                                       std::chrono::steady_clock::now() - wall_before)
                                       .count();
            cpu_percent = 100.0 * static_cast<double>(thread_cpu_ns() - cpu_before) / wall_ns;
        }
        state.counters["cpu_percent"] = cpu_percent;
    }
    zorvgst::remove_buffer(name);
}

/// Registers `measure` once per transport as `prefix` followed by Posix, Sysv or Ring: the names
/// scripts/bench.sh reads its table from.
bool register_per_transport(const std::string& prefix,
                            void (*measure)(benchmark::State&, transport),
                            benchmark::IterationCount iterations, benchmark::TimeUnit unit) {
    const std::pair<const char*, transport> transports[] = {
        {"Posix", transport::posix}, {"Sysv", transport::sysv}, {"Ring", transport::ring}};
    for (const auto& [suffix, kind] : transports) {
        benchmark::RegisterBenchmark((prefix + suffix).c_str(), measure, kind)
            ->Iterations(iterations)
            ->UseRealTime()
            ->Unit(unit);
    }
    return true;
}

} // namespace

// Registered at start-up like the BENCHMARK() lines between them, so the order stays this one.
[[maybe_unused]] const bool wake_registered =
    register_per_transport("BM_Wake_", wake_latency, 2000, benchmark::kMicrosecond);
BENCHMARK(BM_Hold_1080p_Ring)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Read_1080p)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memcpy_1080p_SameMemories)->UseRealTime()->Unit(benchmark::kMicrosecond);
[[maybe_unused]] const bool idle_readers_registered =
    register_per_transport("BM_IdleReader_", idle_reader, 1, benchmark::kMillisecond);

BENCHMARK_MAIN();
