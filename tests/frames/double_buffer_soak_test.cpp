// SPDX-License-Identifier: LGPL-2.1-or-later
// Long runs at full HD between real processes through the frame API: every frame a reader is
// given is intact, and no reader can stall the writer or the other readers.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <zorvgst/frames.h>

#include "support/backend_params.h"
#include "support/child_process.h"
#include "support/frames.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using zorvgst::frame_info;
using zorvgst::frame_reader;
using zorvgst::frame_writer;
using zorvtest::ChildProcess;

#if defined(__SANITIZE_THREAD__)
constexpr bool thread_sanitized = true;
#else
constexpr bool thread_sanitized = false;
#endif

constexpr unsigned hd_width = 1920;
constexpr unsigned hd_height = 1080;
constexpr std::size_t hd_bytes = std::size_t{hd_width} * hd_height * 4;
constexpr std::size_t hd_words = hd_bytes / sizeof(std::uint64_t);

/// ZORVGST_SOAK_SECONDS shortens (or lengthens) every soak; each defaults to `fallback`.
int soak_seconds(int fallback) {
    const char* text = std::getenv("ZORVGST_SOAK_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : fallback;
}

std::int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

/// Counters shared with forked children: anonymous shared memory made before the fork.
template <typename T> class Shared {
public:
    Shared() {
        void* memory =
            ::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        value_ = memory == MAP_FAILED ? nullptr : new (memory) T();
    }
    ~Shared() {
        if (value_ != nullptr) {
            value_->~T();
            ::munmap(value_, sizeof(T));
        }
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    T* operator->() const { return value_; }
    T& operator*() const { return *value_; }
    bool ok() const { return value_ != nullptr; }

private:
    T* value_;
};

// Frame layout of the integrity soak: word 0 the frame number, word 1 the checksum of the rest.
std::uint64_t next_random(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

std::uint64_t checksum(const std::uint64_t* words, std::size_t count) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::size_t i = 0; i < count; ++i) {
        hash = (hash ^ words[i]) * 0x100000001b3ull;
    }
    return hash;
}

void fill_frame(std::uint64_t* words, std::uint64_t number) {
    std::uint64_t state = number * 0x9E3779B97F4A7C15ull + 1;
    for (std::size_t i = 2; i < hd_words; ++i) {
        words[i] = next_random(state);
    }
    words[0] = number;
    words[1] = checksum(words + 2, hd_words - 2);
}

struct IntegrityCounters {
    std::atomic<std::uint64_t> published{0};
    struct {
        std::atomic<std::uint64_t> checked{0};
        std::atomic<std::uint64_t> dropped{0};
        std::atomic<std::uint64_t> corrupt{0};
        std::atomic<std::uint64_t> out_of_order{0};
    } readers[3];
};

/// Whether `words` hold the whole of frame `number` as fill_frame made it.
bool holds_frame(const std::uint64_t* words, std::uint64_t number) {
    return words[0] == number && words[1] == checksum(words + 2, hd_words - 2);
}

// Checks every frame it is given, by copy or, `in_place`, where it lies in shared memory.
int integrity_reader(const std::string& name, zorvgst::backend kind, int seconds,
                     IntegrityCounters& counters, int index, bool in_place) {
    frame_reader reader(name, kind);
    auto& mine = counters.readers[index];
    std::vector<std::uint8_t> copy(hd_bytes);
    std::uint64_t last_number = 0;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        if (!reader.wait(100ms)) {
            continue;
        }
        const auto taken = zorvtest::take_frame(
            reader, in_place, copy, hd_width * 4,
            [](const std::uint8_t* pixels, std::size_t, const frame_info& info) {
                return holds_frame(reinterpret_cast<const std::uint64_t*>(pixels), info.number);
            });
        if (!taken) {
            continue; // overtaken by the writer: counted in dropped()
        }
        if (!taken->passed) {
            ++mine.corrupt;
        } else if (taken->info.number <= last_number) {
            ++mine.out_of_order;
        } else {
            ++mine.checked;
        }
        last_number = taken->info.number;
    }
    mine.dropped = reader.dropped();
    return 0;
}

template <typename Backend> class DoubleBufferSoak : public zorvtest::BackendTest<Backend> {};
TYPED_TEST_SUITE(DoubleBufferSoak, zorvtest::Backends, zorvtest::BackendNames);

TYPED_TEST(DoubleBufferSoak, EveryFrameAReaderAcceptsAtFullHdIsIntact) {
    const std::string name = this->guard_.name();
    const char* label = zorvgst::backend_name(TypeParam::kind);
    const int seconds = soak_seconds(20);
    Shared<IntegrityCounters> counters;
    ASSERT_TRUE(counters.ok());

    // Started before the writer: they attach as it appears.
    std::vector<std::unique_ptr<ChildProcess>> readers;
    for (int i = 0; i < 3; ++i) {
        readers.push_back(std::make_unique<ChildProcess>([&, i] {
            return integrity_reader(name, TypeParam::kind, seconds, *counters, i, i == 2);
        }));
    }
    ChildProcess writer_process([&] {
        frame_writer writer(name, hd_width, hd_height, TypeParam::kind);
        // As fast as it can: the more often it comes round to a slot being read, the harder
        // the readers' check is tried.
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        for (std::uint64_t number = 1; Clock::now() < end; ++number) {
            fill_frame(reinterpret_cast<std::uint64_t*>(writer.frame()), number);
            if (writer.publish().number != number) {
                return 2; // the frames' own numbers would not name them
            }
            ++counters->published;
        }
        return 0;
    });
    EXPECT_EQ(writer_process.wait(std::chrono::seconds(seconds + 30)), 0);
    std::uint64_t checked = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(readers[i]->wait(std::chrono::seconds(30)), 0) << "reader " << i;
        const auto& reader = counters->readers[i];
        EXPECT_EQ(reader.corrupt.load(), 0u) << "reader " << i;
        EXPECT_EQ(reader.out_of_order.load(), 0u) << "reader " << i;
        EXPECT_GT(reader.checked.load(), 0u) << "reader " << i;
        checked += reader.checked.load();
        std::cout << label << " reader " << i << (i == 2 ? " (in place)" : " (copying)") << ": "
                  << reader.checked.load() << " frames checked intact, " << reader.dropped.load()
                  << " overtaken by the writer and dropped, " << reader.corrupt.load()
                  << " corrupt, " << reader.out_of_order.load() << " out of order\n";
    }
    std::cout << label << " integrity soak: " << counters->published.load()
              << " frames published in " << seconds << " s, " << checked
              << " frames checked intact by 3 readers" << std::endl;
    this->RecordProperty("frames_checked", std::to_string(checked));
}

struct StallCounters {
    std::atomic<std::uint64_t> published{0};
    std::atomic<std::int64_t> longest_publication_us{0};
    std::atomic<std::int64_t> worst_lateness_us{0};
    std::atomic<std::uint64_t> frames_behind_schedule{0};
    std::atomic<bool> writer_ready{false};
    /// Per reader: when it last took a new frame.
    std::atomic<std::int64_t> last_frame_us[3];
    std::atomic<std::uint64_t> frames_read[3];
};

void raise_to(std::atomic<std::int64_t>& maximum, std::int64_t value) {
    std::int64_t seen = maximum.load();
    while (value > seen && !maximum.compare_exchange_weak(seen, value)) {
    }
}

int stall_reader(const std::string& name, zorvgst::backend kind, StallCounters& counters, int index,
                 bool throttled) {
    frame_reader reader(name, kind);
    std::vector<std::uint8_t> copy(hd_bytes);
    while (true) {
        if (!reader.wait(200ms) || !reader.read(copy.data(), hd_width * 4, copy.size())) {
            continue;
        }
        counters.last_frame_us[index] = now_us();
        ++counters.frames_read[index];
        if (throttled) {
            ::usleep(100000); // a consumer that only manages 10 frames a second
        }
    }
}

TYPED_TEST(DoubleBufferSoak, SlowAndKilledReadersNeverStallTheWriterOrTheOtherReaders) {
    const std::string name = this->guard_.name();
    const int seconds = soak_seconds(15);
    Shared<StallCounters> counters;
    ASSERT_TRUE(counters.ok());

    const auto period = std::chrono::microseconds(16667);
    ChildProcess writer_process([&] {
        frame_writer writer(name, hd_width, hd_height, TypeParam::kind);
        counters->writer_ready = true;
        const auto start = Clock::now();
        const auto end = start + std::chrono::seconds(seconds);
        for (std::uint64_t number = 1; Clock::now() < end; ++number) {
            const auto due = start + period * (number - 1);
            const auto lateness =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - due).count();
            raise_to(counters->worst_lateness_us, lateness);
            if (lateness > period.count()) {
                ++counters->frames_behind_schedule;
            }
            std::memset(writer.frame(), static_cast<int>(number & 0xFF), hd_bytes);
            const auto publish_start = Clock::now();
            writer.publish();
            raise_to(
                counters->longest_publication_us,
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - publish_start)
                    .count());
            ++counters->published;
            std::this_thread::sleep_until(start + period * number);
        }
        return 0;
    });
    ASSERT_TRUE(zorvtest::wait_until([&] { return counters->writer_ready.load(); }));

    // Reader 0 is throttled to 10 fps; all three are killed and restarted at random.
    std::vector<std::unique_ptr<ChildProcess>> readers(3);
    std::vector<std::int64_t> started_us(3);
    const auto start_reader = [&](int index) {
        started_us[index] = now_us();
        readers[index] = std::make_unique<ChildProcess>([&, index] {
            return stall_reader(name, TypeParam::kind, *counters, index, index == 0);
        });
    };
    for (int i = 0; i < 3; ++i) {
        start_reader(i);
    }
    std::mt19937 random(static_cast<unsigned>(::getpid()));
    std::uniform_int_distribution<int> pause_ms(100, 600);
    std::uniform_int_distribution<int> pick(0, 2);
    std::int64_t longest_gap_us[3] = {0, 0, 0};
    int kills = 0;
    const auto end = Clock::now() + std::chrono::seconds(seconds) - std::chrono::milliseconds(200);
    auto next_kill = Clock::now() + std::chrono::milliseconds(pause_ms(random));
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const std::int64_t now = now_us();
        for (int i = 0; i < 3; ++i) {
            const std::int64_t since = std::max(counters->last_frame_us[i].load(), started_us[i]);
            longest_gap_us[i] = std::max(longest_gap_us[i], now - since);
        }
        if (Clock::now() >= next_kill) {
            const int victim = pick(random);
            readers[victim]->kill_and_reap(SIGKILL);
            start_reader(victim);
            ++kills;
            next_kill = Clock::now() + std::chrono::milliseconds(pause_ms(random));
        }
    }
    for (auto& reader : readers) {
        reader->kill_and_reap(SIGKILL);
    }
    EXPECT_EQ(writer_process.wait(std::chrono::seconds(30)), 0);

    const std::uint64_t expected = static_cast<std::uint64_t>(seconds) * 60;
    const std::uint64_t published = counters->published.load();
    std::cout << zorvgst::backend_name(TypeParam::kind) << " no-stall soak: " << published
              << " frames published of " << expected << " due in " << seconds
              << " s, longest publication " << counters->longest_publication_us.load()
              << " us, worst lateness " << counters->worst_lateness_us.load() << " us, "
              << counters->frames_behind_schedule.load() << " frames over a period late, " << kills
              << " readers killed and restarted; frames read (slow, fast, fast): "
              << counters->frames_read[0].load() << ", " << counters->frames_read[1].load() << ", "
              << counters->frames_read[2].load()
              << "; longest gap between frames (ms): " << longest_gap_us[0] / 1000 << ", "
              << longest_gap_us[1] / 1000 << ", " << longest_gap_us[2] / 1000 << std::endl;
    // The writer keeps its rate: a schedule, not a delay, so late frames catch up. Under the
    // thread checker a full-HD fill alone takes longer than a period.
    if (!thread_sanitized) {
        EXPECT_GE(published + 2, expected);
    }
    // Publishing waits for nobody: a blocked writer would take seconds or never return; the
    // bound leaves room for a busy machine's scheduling.
    EXPECT_LT(counters->longest_publication_us.load(), 250000);
    // Nobody waits on anybody: the fast readers never go a second without a frame, the slow one
    // only as long as its own pace and a restart take.
    EXPECT_LT(longest_gap_us[1], 1000000);
    EXPECT_LT(longest_gap_us[2], 1000000);
    EXPECT_LT(longest_gap_us[0], 1500000);
    EXPECT_GT(kills, 0);
}

} // namespace
