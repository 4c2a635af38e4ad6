// SPDX-License-Identifier: LGPL-2.1-or-later
// Throughput of the rendering paths on 1920x1080 BGRA frames, each beside a memcpy of the bytes.
//
// Every benchmark counts the bytes it reads plus the bytes it writes, so a memcpy of a frame
// counts two frames and a blend (base and overlay read, destination written) three.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <log4cxx/basicconfigurator.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/render.h>

#include "bench_main.h"
#include "frame_sample.h"
#include "internal/render/blend_kernels.h"

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvgst_bench");

namespace {

constexpr uint width = 1920;
constexpr uint height = 1080;
constexpr size_t frame_bytes = size_t{width} * height * 4;

// Crop margins of the crop benchmark: a 16-pixel border left and right, 8 rows top and bottom.
constexpr uint crop_x = 16, crop_y = 8;
constexpr uint kept_width = width - 2 * crop_x, kept_height = height - 2 * crop_y;
constexpr size_t kept_bytes = size_t{kept_width} * kept_height * 4;

using zorvbench::frame_sample;
using zorvbench::random_frame;

enum class overlay_kind { opaque_heavy, transparent_heavy, mixed };

// Opaque- and transparent-heavy overlays are 90 % one alpha in runs of 180 pixels, the rest
// anti-aliased edges of random alpha; a mixed overlay has a random alpha on every pixel.
std::vector<std::uint8_t> overlay(overlay_kind kind) {
    auto out = random_frame(frame_bytes, 2);
    for (size_t p = 0; p < frame_bytes / 4; ++p) {
        const bool edge = p % 200 >= 180;
        if (kind == overlay_kind::opaque_heavy && !edge) {
            out[p * 4 + 3] = 255;
        } else if (kind == overlay_kind::transparent_heavy && !edge) {
            out[p * 4 + 3] = 0;
        }
    }
    return out;
}

void count(benchmark::State& state, size_t bytes_per_iteration) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(bytes_per_iteration));
}

void memcpy_baseline(benchmark::State& state, size_t bytes) {
    const auto src = random_frame(bytes, 1);
    std::vector<std::uint8_t> dst(bytes, 0);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), bytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    count(state, 2 * bytes);
}

void BM_Memcpy_Frame(benchmark::State& state) {
    memcpy_baseline(state, frame_bytes);
}

void BM_Memcpy_CroppedFrame(benchmark::State& state) {
    memcpy_baseline(state, kept_bytes);
}

void BM_Render_SingleCopy(benchmark::State& state) {
    const auto src = random_frame(frame_bytes, 1);
    std::vector<std::uint8_t> dst(frame_bytes, 0);
    for (auto _ : state) {
        render(src.data(), dst.data(), width, height, 0, 0, width);
        benchmark::ClobberMemory();
    }
    count(state, 2 * frame_bytes);
}

// The frame lands in the right half of a destination twice as wide: one copy per row.
void BM_Render_Rows(benchmark::State& state) {
    const auto src = random_frame(frame_bytes, 1);
    std::vector<std::uint8_t> dst(2 * frame_bytes, 0);
    for (auto _ : state) {
        render(src.data(), dst.data(), width, height, width, 0, 2 * width);
        benchmark::ClobberMemory();
    }
    count(state, 2 * frame_bytes);
}

void BM_Crop(benchmark::State& state) {
    const auto src = random_frame(frame_bytes, 1);
    std::vector<std::uint8_t> dst(kept_bytes, 0);
    for (auto _ : state) {
        render_with_cropping(src.data(), dst.data(), width, height, 0, 0, kept_width, crop_x,
                             crop_x, crop_y, crop_y);
        benchmark::ClobberMemory();
    }
    count(state, 2 * kept_bytes);
}

void BM_Blend(benchmark::State& state, overlay_kind kind) {
    const auto base = random_frame(frame_bytes, 1);
    const auto over = overlay(kind);
    std::vector<std::uint8_t> dst(frame_bytes, 0);
    for (auto _ : state) {
        render_with_overlay(base.data(), over.data(), dst.data(), width, height, 0, 0, width);
        benchmark::ClobberMemory();
    }
    count(state, 3 * frame_bytes);
}

void BM_BlendKernel(benchmark::State& state, zorvgst::detail::blend_row_fn kernel,
                    bool needs_avx2) {
    if (needs_avx2 && !zorvgst::detail::cpu_has_avx2()) {
        state.SkipWithError("this CPU has no AVX2");
        return;
    }
    const auto base = random_frame(frame_bytes, 1);
    const auto over = overlay(overlay_kind::mixed);
    std::vector<std::uint8_t> dst(frame_bytes, 0);
    for (auto _ : state) {
        kernel(base.data(), over.data(), dst.data(), size_t{width} * height);
        benchmark::ClobberMemory();
    }
    count(state, 3 * frame_bytes);
}

/// A double buffer under a name unique to this process, removed again at the end.
class bench_buffer {
public:
    bench_buffer()
        : name_("zorvbench_" + std::to_string(getpid()) + "_render_buffer"),
          writer_(name_.c_str(), boost::interprocess::read_write, width, height),
          reader_(name_.c_str(), boost::interprocess::read_only) {}
    ~bench_buffer() { double_buffer_t::remove(name_.c_str()); }
    bench_buffer(const bench_buffer&) = delete;
    bench_buffer& operator=(const bench_buffer&) = delete;

    /// Whether both ends opened; when not, the benchmark is skipped with the reason.
    bool usable(benchmark::State& state) {
        if (writer_.is_valid() && reader_.is_valid()) {
            return true;
        }
        state.SkipWithError("cannot create the double buffer");
        return false;
    }
    double_buffer_t& writer() { return writer_; }
    double_buffer_t& reader() { return reader_; }

private:
    std::string name_;
    double_buffer_t writer_;
    double_buffer_t reader_;
};

void BM_Render_SampleToDoubleBuffer(benchmark::State& state) {
    bench_buffer buffer;
    if (!buffer.usable(state)) {
        return;
    }
    const auto pixels = random_frame(frame_bytes, 1);
    const frame_sample frame(pixels, width, height);
    for (auto _ : state) {
        render(frame.sample(), buffer.writer(), 0, 0, width);
    }
    count(state, 2 * frame_bytes);
    if (std::memcmp(buffer.reader().get_read_address(), pixels.data(), frame_bytes) != 0) {
        state.SkipWithError("the frame did not arrive");
    }
}

// The same bytes as the sample benchmark, memcpy'd between the same memory areas: from the
// sample's buffer into the double buffer's two slots in turn, as publication alternates them.
void BM_Memcpy_SampleToSlots(benchmark::State& state) {
    bench_buffer buffer;
    if (!buffer.usable(state)) {
        return;
    }
    const frame_sample frame(random_frame(frame_bytes, 1), width, height);
    GstMapInfo info;
    gst_buffer_map(frame.buffer(), &info, GST_MAP_READ);
    guint8* slots[2] = {const_cast<guint8*>(buffer.writer().get_read_address()),
                        buffer.writer().get_write_address()};
    size_t turn = 0;
    for (auto _ : state) {
        std::memcpy(slots[turn ^= 1], info.data, frame_bytes);
        benchmark::ClobberMemory();
    }
    count(state, 2 * frame_bytes);
    gst_buffer_unmap(frame.buffer(), &info);
}

void BM_Render_DoubleBufferToGstBuffer(benchmark::State& state) {
    bench_buffer buffer;
    if (!buffer.usable(state)) {
        return;
    }
    const auto pixels = random_frame(frame_bytes, 1);
    render(pixels.data(), buffer.writer(), width, height, 0, 0, width);
    GstBuffer* gst_buffer = gst_buffer_new_allocate(nullptr, frame_bytes, nullptr);
    gst_buffer_memset(gst_buffer, 0, 0, frame_bytes);
    for (auto _ : state) {
        render(buffer.reader(), gst_buffer, width, height, 0, 0, width);
    }
    count(state, 2 * frame_bytes);
    if (gst_buffer_memcmp(gst_buffer, 0, pixels.data(), frame_bytes) != 0) {
        state.SkipWithError("the frame did not arrive");
    }
    gst_buffer_unref(gst_buffer);
}

// What every read from a double buffer now pays to learn that its writer has not changed size:
// one fstat and two header loads.
void BM_DoubleBuffer_ConfirmLayout(benchmark::State& state) {
    bench_buffer buffer;
    if (!buffer.usable(state)) {
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(buffer.reader().confirm_layout());
    }
}

} // namespace

// Alongside mean, median and spread: the best repetition, since other work on a shared machine
// only ever slows a repetition down. Applied to bytes_per_second it is the highest bandwidth.
double best(const std::vector<double>& values) {
    return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

BENCHMARK(BM_Memcpy_Frame)->ComputeStatistics("max", best);
BENCHMARK(BM_Render_SingleCopy)->ComputeStatistics("max", best);
BENCHMARK(BM_Render_Rows)->ComputeStatistics("max", best);
BENCHMARK(BM_Memcpy_SampleToSlots)->ComputeStatistics("max", best);
BENCHMARK(BM_Render_SampleToDoubleBuffer)->ComputeStatistics("max", best);
BENCHMARK(BM_Render_DoubleBufferToGstBuffer)->ComputeStatistics("max", best);
BENCHMARK(BM_DoubleBuffer_ConfirmLayout);
BENCHMARK_CAPTURE(BM_Blend, opaque_heavy, overlay_kind::opaque_heavy)
    ->ComputeStatistics("max", best);
BENCHMARK_CAPTURE(BM_Blend, transparent_heavy, overlay_kind::transparent_heavy)
    ->ComputeStatistics("max", best);
BENCHMARK_CAPTURE(BM_Blend, mixed, overlay_kind::mixed)->ComputeStatistics("max", best);
BENCHMARK_CAPTURE(BM_BlendKernel, sse2_mixed, zorvgst::detail::blend_row_sse2, false)
    ->ComputeStatistics("max", best);
BENCHMARK_CAPTURE(BM_BlendKernel, avx2_mixed, zorvgst::detail::blend_row_avx2, true)
    ->ComputeStatistics("max", best);
BENCHMARK_CAPTURE(BM_BlendKernel, scalar_mixed, zorvgst::detail::blend_row_scalar, false)
    ->ComputeStatistics("max", best);
BENCHMARK(BM_Memcpy_CroppedFrame)->ComputeStatistics("max", best);
BENCHMARK(BM_Crop)->ComputeStatistics("max", best);

int main(int argc, char** argv) {
    // Production logging: every trace line costs one level test and nothing more; warnings and
    // errors still reach the console.
    log4cxx::BasicConfigurator::configure();
    logger->setLevel(log4cxx::Level::getWarn());
    return zorvbench::run_benchmarks(argc, argv);
}
