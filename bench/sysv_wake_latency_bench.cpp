// SPDX-License-Identifier: LGPL-2.1-or-later
// Latency from a writer's publication in one process to the return of a reader's wait in another,
// for the System V condition, the POSIX backend's polling wait and a plain 1 ms polling loop.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <log4cxx/logger.h>
#include <unistd.h>

#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/sysv_double_buffer.h>

#include "process_timing.h"
#include "writer_process.h"

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvbench");

namespace {

using zorvbench::is_sleeping;
using zorvbench::monotonic_ns;

namespace ipc = boost::interprocess;
using sysv_double_buffer::sysv_double_buffer_t;

// condition: the System V reader's wait_for_write; backend_polling: the POSIX reader's
// wait_for_write; polling: a loop that sleeps 1 ms between looks at the publication time.
enum class wait_kind { condition, backend_polling, polling };

// The reader acknowledges each frame through a pipe; the writer then publishes the next one
// with its monotonic send time in the slot: once the reader sleeps on the condition, or after a
// random pause so that publications fall anywhere within the polling interval (for the POSIX
// wait, a pause that starts once the reader sleeps in it).
template <typename Buffer>
void run_writer(const std::string& name, int ack_fd, pid_t reader, wait_kind kind) {
    Buffer writer(name.c_str(), ipc::read_write, 4, 4);
    std::mt19937 random(42);
    std::uniform_int_distribution<int> pause_us(0, 1000);
    char ack = 0;
    while (::read(ack_fd, &ack, 1) == 1 && ack == 1) {
        // A sleeping reader has taken its snapshot of the publication time: a frame published
        // before that would go unseen until the deadline.
        if (kind != wait_kind::polling) {
            while (!is_sleeping(reader)) {
                std::this_thread::yield();
            }
        }
        if (kind != wait_kind::condition) {
            std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
        }
        writer.grab_write_sem();
        const std::int64_t sent = monotonic_ns();
        std::memcpy(writer.get_write_address(), &sent, sizeof(sent));
        writer.release_write_sem();
    }
}

template <typename Buffer> void wake_latency(benchmark::State& state, wait_kind kind) {
    const std::string name = "zorvbench_" + std::to_string(getpid()) + "_wake_buffer";
    Buffer::remove(name.c_str());
    { Buffer creator(name.c_str(), ipc::read_write, 4, 4); }
    Buffer reader(name.c_str(), ipc::read_only);
    if (!reader.is_valid()) {
        state.SkipWithError("buffer could not be opened");
        return;
    }
    zorvbench::writer_process writer(
        [&](int acks, pid_t parent) { run_writer<Buffer>(name, acks, parent, kind); });
    if (!writer.started()) {
        state.SkipWithError("pipe failed");
        return;
    }

    std::vector<double> latencies_us;
    latencies_us.reserve(state.max_iterations);
    for (auto _ : state) {
        const auto before = reader.get_last_write_time();
        if (!writer.request()) {
            state.SkipWithError("writer gone");
            break;
        }
        if (kind == wait_kind::condition) {
            reader.wait_for_write(boost::posix_time::microsec_clock::universal_time() +
                                  boost::posix_time::seconds(2));
        } else if (kind == wait_kind::backend_polling) {
            // The POSIX wait compares its deadline with local time.
            reader.wait_for_write(boost::posix_time::microsec_clock::local_time() +
                                  boost::posix_time::seconds(2));
        } else {
            while (reader.get_last_write_time() == before) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        const std::int64_t received = monotonic_ns();
        std::int64_t sent = 0;
        std::memcpy(&sent, reader.get_read_address(), sizeof(sent));
        const double latency_s = static_cast<double>(received - sent) / 1e9;
        state.SetIterationTime(latency_s);
        latencies_us.push_back(latency_s * 1e6);
    }
    writer.stop();
    Buffer::remove(name.c_str());

    if (!latencies_us.empty()) {
        std::sort(latencies_us.begin(), latencies_us.end());
        state.counters["median_us"] = latencies_us[latencies_us.size() / 2];
        state.counters["p99_us"] = latencies_us[latencies_us.size() * 99 / 100];
        state.counters["max_us"] = latencies_us.back();
        state.counters["frames"] = static_cast<double>(latencies_us.size());
    }
}

void BM_SysvConditionWake(benchmark::State& state) {
    wake_latency<sysv_double_buffer_t>(state, wait_kind::condition);
}

void BM_PosixPollingWake(benchmark::State& state) {
    wake_latency<posix_double_buffer_t>(state, wait_kind::backend_polling);
}

void BM_MillisecondPollingWait(benchmark::State& state) {
    wake_latency<sysv_double_buffer_t>(state, wait_kind::polling);
}

BENCHMARK(BM_SysvConditionWake)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PosixPollingWake)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MillisecondPollingWait)
    ->Iterations(2000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    logger->setLevel(log4cxx::Level::getOff());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
