// SPDX-License-Identifier: LGPL-2.1-or-later
// Peers that die or misbehave, met through the frame API on both backends: killed writers and
// readers, writers resizing under their readers, corrupt headers.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include <zorvgst/frames.h>
#include <zorvgst/inventory.h>

#include "support/backend_params.h"
#include "support/child_process.h"
#include "support/frames.h"
#include "support/raw_shm.h"
#include "support/shm_guard.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using zorvgst::frame_info;
using zorvgst::frame_reader;
using zorvgst::frame_writer;
using zorvtest::ChildProcess;
using zorvtest::Signal;

constexpr unsigned frame_width = 64;
constexpr unsigned frame_height = 32;
constexpr std::size_t row_bytes = std::size_t{frame_width} * 4;
constexpr std::size_t frame_bytes = row_bytes * frame_height;

/// Publishes one frame of `value` bytes.
frame_info publish_uniform(frame_writer& writer, std::uint8_t value) {
    std::memset(writer.frame(), value, std::size_t{writer.width()} * writer.height() * 4);
    return writer.publish();
}

template <typename Backend> class DoubleBufferFaults : public zorvtest::BackendTest<Backend> {};
TYPED_TEST_SUITE(DoubleBufferFaults, zorvtest::Backends, zorvtest::BackendNames);

TYPED_TEST(DoubleBufferFaults, WriterKilledMidFrameLeavesItsLastWholeFrameThenExpires) {
    const std::string name = this->guard_.name();
    Signal half_written;
    ChildProcess writer_process([&] {
        frame_writer writer = this->writer(frame_width, frame_height);
        publish_uniform(writer, 0x11);
        std::memset(writer.frame(), 0x22, frame_bytes / 2);
        half_written.raise();
        ::pause();
        return 0;
    });
    ASSERT_TRUE(half_written.wait());
    const pid_t writer_pid = writer_process.pid();
    writer_process.kill_and_reap(SIGKILL);

    frame_reader reader(name, TypeParam::kind);
    ASSERT_TRUE(reader.wait(2s));
    std::vector<std::uint8_t> frame(frame_bytes);
    const auto info = reader.read(frame.data(), row_bytes, frame.size());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->number, 1u);
    EXPECT_TRUE(zorvtest::rows_hold(frame.data(), frame_width, frame_height, row_bytes, 0x11));
    // Nothing more comes: a bounded wait ends at its deadline.
    const auto start = steady::now();
    EXPECT_FALSE(reader.wait(50ms));
    EXPECT_LT(steady::now() - start, 2s);

    const auto status = zorvgst::find_buffer(name);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->state, zorvgst::buffer_state::ready);
    EXPECT_EQ(status->owner_pid, writer_pid);
    EXPECT_FALSE(status->owner_alive);
    const auto expired = zorvgst::expire_buffers({name});
    ASSERT_EQ(expired.size(), 1u);
    EXPECT_EQ(expired[0].owner_pid, writer_pid);
    EXPECT_EQ(zorvtest::dev_shm_entries_with_prefix(name), std::vector<std::string>{});
    EXPECT_TRUE(zorvgst::expire_buffers({name}).empty());
    // The reader attached before the removal lets go of it, and has no frame to give.
    EXPECT_FALSE(reader.wait(300ms));
    EXPECT_FALSE(reader.ready());
    EXPECT_FALSE(reader.read(frame.data(), row_bytes, frame.size()));
}

// A writer restarted after a crash owns its buffer again: supervisors must not expire it.
TYPED_TEST(DoubleBufferFaults, RestartedWriterOwnsItsBufferAgainAndOutlivesExpiry) {
    const auto writer_of = [this](std::uint8_t value, const Signal& published) {
        return [this, value, &published] {
            frame_writer writer = this->writer(frame_width, frame_height);
            for (bool first = true;; first = false) {
                publish_uniform(writer, value);
                if (first) {
                    published.raise();
                }
                ::usleep(5000);
            }
            return 0;
        };
    };
    Signal crashed_published;
    ChildProcess crashed(writer_of(0x11, crashed_published));
    ASSERT_TRUE(crashed_published.wait());
    crashed.kill_and_reap(SIGKILL);

    Signal restarted_published;
    ChildProcess restarted(writer_of(0x22, restarted_published));
    ASSERT_TRUE(restarted_published.wait());
    const std::string name = this->guard_.name();
    const auto status = zorvgst::find_buffer(name);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->owner_pid, restarted.pid());
    EXPECT_TRUE(status->owner_alive);
    EXPECT_TRUE(zorvgst::expire_buffers({name}).empty());
    ASSERT_TRUE(zorvgst::find_buffer(name));

    frame_reader reader(name, TypeParam::kind);
    std::vector<std::uint8_t> frame(frame_bytes);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(reader.wait(5s)) << "the restarted writer's frames reach its readers";
        ASSERT_TRUE(reader.read(frame.data(), row_bytes, frame.size()));
        EXPECT_TRUE(zorvtest::rows_hold(frame.data(), frame_width, frame_height, row_bytes, 0x22));
    }
}

TYPED_TEST(DoubleBufferFaults, ReaderKilledInsideItsWaitHoldsUpNeitherWriterNorOtherReaders) {
    const std::string name = this->guard_.name();
    frame_writer writer = this->writer(frame_width, frame_height);
    publish_uniform(writer, 0x33);

    // Takes the frame there is, says so, and waits for the next one.
    const auto waiting_reader = [&](const Signal& waiting, std::chrono::nanoseconds timeout) {
        frame_reader reader(name, TypeParam::kind);
        std::vector<std::uint8_t> frame(frame_bytes);
        if (!reader.wait(5s) || !reader.read(frame.data(), row_bytes, frame.size())) {
            return 1;
        }
        waiting.raise();
        const auto start = steady::now();
        if (!reader.wait(timeout)) {
            return 2;
        }
        return steady::now() - start < 4s ? 0 : 3;
    };
    Signal doomed_waiting;
    ChildProcess doomed([&] { return waiting_reader(doomed_waiting, 24h); });
    ASSERT_TRUE(doomed_waiting.wait());
    ASSERT_TRUE(zorvtest::wait_until_sleeping(doomed.pid()));
    doomed.kill_and_reap(SIGKILL);

    Signal survivor_waiting;
    ChildProcess survivor([&] { return waiting_reader(survivor_waiting, 8s); });
    ASSERT_TRUE(survivor_waiting.wait());
    ASSERT_TRUE(zorvtest::wait_until_sleeping(survivor.pid()));
    const auto publish_start = steady::now();
    publish_uniform(writer, 0x44);
    EXPECT_LT(steady::now() - publish_start, 1s);
    EXPECT_EQ(survivor.wait(10s), 0);

    // Bounded waits in this process still end at their deadline.
    frame_reader reader(name, TypeParam::kind);
    std::vector<std::uint8_t> frame(frame_bytes);
    ASSERT_TRUE(reader.wait(2s));
    ASSERT_TRUE(reader.read(frame.data(), row_bytes, frame.size()));
    const auto start = steady::now();
    EXPECT_FALSE(reader.wait(100ms));
    EXPECT_LT(steady::now() - start, 2s);
}

constexpr unsigned widest = 256;

// A reader as a host runs one, taking each frame at whatever size the writer has then, by copy
// or in place. 0 once it was given a frame `final_width` wide, every frame before it whole and
// of a size the writer made.
int follow_resizing_writer(const std::string& name, zorvgst::backend kind, unsigned final_width,
                           bool in_place, const Signal& started) {
    frame_reader reader(name, kind);
    constexpr std::size_t stride = std::size_t{widest} * 4;
    std::vector<std::uint8_t> frame(stride * widest / 2);
    started.raise();
    const auto until = steady::now() + 10s;
    while (steady::now() < until) {
        if (!reader.wait(100ms)) {
            continue;
        }
        const auto taken = zorvtest::take_frame(
            reader, in_place, frame, stride,
            [](const std::uint8_t* pixels, std::size_t row_stride, const frame_info& info) {
                return info.width <= widest &&
                       zorvtest::rows_hold(pixels, info.width, info.height, row_stride, pixels[0]);
            });
        if (!taken) {
            continue; // overtaken by the writer, or between two sizes
        }
        const frame_info& info = taken->info;
        if (info.width > widest || info.height * 2 != info.width) {
            return 5;
        }
        if (!taken->passed) {
            return 3;
        }
        if (info.width == final_width) {
            return 0;
        }
    }
    return 4;
}

TYPED_TEST(DoubleBufferFaults, ReadersSurviveAWriterThatResizesUnderThem) {
    const std::string name = this->guard_.name();
    // Shrinking too: the writer makes the buffer anew instead of cutting it short under readers.
    const unsigned widths[] = {64, widest, 32, 128};
    const unsigned final_width = widths[3];
    Signal started;
    std::vector<std::unique_ptr<ChildProcess>> readers;
    for (const bool in_place : {false, true}) {
        readers.push_back(std::make_unique<ChildProcess>([&, in_place] {
            return follow_resizing_writer(name, TypeParam::kind, final_width, in_place, started);
        }));
    }
    // Attached before the writer exists, they follow it from its first frame on.
    ASSERT_TRUE(started.wait());
    ASSERT_TRUE(started.wait());
    frame_writer writer = this->writer(widths[0], widths[0] / 2);
    std::uint8_t value = 1;
    for (const unsigned width : widths) {
        writer.resize(width, width / 2);
        for (int frame = 0; frame < 20; ++frame, value = value % 250 + 1) {
            publish_uniform(writer, value);
            ::usleep(10000);
        }
    }
    // The last size stays until every reader has been given a frame of it.
    std::vector<std::optional<int>> results(readers.size());
    const auto until = steady::now() + 10s;
    bool running = true;
    while (running && steady::now() < until) {
        publish_uniform(writer, value);
        value = value % 250 + 1;
        ::usleep(10000);
        running = false;
        for (std::size_t i = 0; i < readers.size(); ++i) {
            results[i] = results[i] ? results[i] : readers[i]->try_wait();
            running = running || !results[i];
        }
    }
    for (const auto& result : results) {
        EXPECT_EQ(result, std::optional<int>(0));
    }
}

// Every reader operation against a corrupt header, and the inventory's look at it; 0 when
// nothing came back but the frame the writer wrote (number 1, 0x44 bytes), at its size.
int exercise_reader(frame_reader& reader, const std::string& name) {
    const auto written = [](const frame_info& info) {
        return info.number == 1 && info.width == frame_width && info.height == frame_height;
    };
    std::vector<std::uint8_t> frame(frame_bytes);
    for (const bool in_place : {false, true}) {
        reader.wait(10ms);
        const auto taken = zorvtest::take_frame(
            reader, in_place, frame, row_bytes,
            [&](const std::uint8_t* pixels, std::size_t stride, const frame_info& info) {
                return written(info) &&
                       zorvtest::rows_hold(pixels, frame_width, frame_height, stride, 0x44);
            });
        if (taken && !taken->passed) {
            return in_place ? 3 : 2;
        }
        if (const auto newest = reader.newest(); newest && !written(*newest)) {
            return 4;
        }
    }
    const auto status = zorvgst::find_buffer(name);
    if (!status || status->owner_pid != ::getppid()) {
        return 5;
    }
    // Its owner, the test process, is alive.
    return zorvgst::expire_buffers({name}).empty() ? 0 : 6;
}

TYPED_TEST(DoubleBufferFaults, CorruptHeaderNeverSendsAReaderOutsideTheObjectNorMisleadsIt) {
    using field = zorvtest::header_field;
    struct poke {
        field what;
        std::uint32_t value;
    };
    struct corruption {
        const char* what;
        std::vector<poke> pokes;
    };
    const corruption cases[] = {
        {"indicator 7", {{field::indicator, 7}}},
        {"dimensions beyond the object", {{field::width, 4096}, {field::height, 4096}}},
        {"width beyond any frame", {{field::width, 0xFFFFFFFFu}}},
        {"zero height", {{field::height, 0}}},
        {"everything at once",
         {{field::indicator, 7}, {field::width, 0xFFFFFFFFu}, {field::height, 0xFFFFFFFFu}}},
    };
    const std::string name = this->guard_.name();
    for (const corruption& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(zorvgst::remove_buffer(name));
        frame_writer writer = this->writer(frame_width, frame_height);
        writer.write(zorvtest::uniform_frame(frame_width, frame_height, row_bytes, 0x44).data(),
                     row_bytes);
        frame_reader attached(name, TypeParam::kind);
        ASSERT_TRUE(attached.wait(2s));
        for (const poke& p : c.pokes) {
            ASSERT_TRUE(zorvtest::poke_header(TypeParam::kind, name, p.what, p.value));
        }
        // In children: a crash must fail the case, not end the test program.
        ChildProcess after_attachment([&] { return exercise_reader(attached, name); });
        EXPECT_EQ(after_attachment.wait(), 0);
        ChildProcess fresh([&] {
            frame_reader reader(name); // the backend found from what is there
            return exercise_reader(reader, name);
        });
        EXPECT_EQ(fresh.wait(), 0);
    }
}

} // namespace
