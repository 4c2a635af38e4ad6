// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame ring across processes: readers that lease and copy beside a writer publishing as
// fast as it can never accept a torn frame, and the leases of a reader killed outright come back.
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <signal.h>

#include <zorvgst/frames.h>

#include "support/child_process.h"
#include "support/shm_guard.h"

namespace {

using namespace std::chrono_literals;
using zorvgst::frame_format;
using zorvgst::frame_reader;
using zorvgst::frame_writer;
using zorvgst::ring_options;
using zorvtest::ChildProcess;
using zorvtest::Signal;

/// Every byte of frame n is n modulo 251: a frame made of two publications shows two values.
std::uint8_t frame_value(std::uint64_t number) {
    return static_cast<std::uint8_t>(number % 251);
}

bool uniform(const std::uint8_t* bytes, std::size_t size, std::uint8_t value) {
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != value) {
            return false;
        }
    }
    return true;
}

void publish_numbered(frame_writer& writer, std::uint64_t number) {
    std::memset(writer.frame(), frame_value(number), writer.format().size);
    writer.publish();
}

constexpr int torn_frame = 1;
constexpr int leased_frames = 8;
constexpr int copied_frames = 16;

/// Reads frames for `duration`, alternately leasing (holding each a moment, as a slow
/// downstream would) and copying. Exit status: torn_frame, or which of leased_frames and
/// copied_frames it read.
int check_frames(const std::string& name, std::chrono::milliseconds duration) {
    frame_reader reader(name);
    std::vector<std::uint8_t> copied;
    unsigned leased = 0;
    unsigned copies = 0;
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        if (!reader.wait(100ms)) {
            continue;
        }
        if ((leased + copies) % 2 == 0) {
            if (auto lease = reader.hold()) {
                const std::uint8_t expected = frame_value(lease->info().number);
                for (int look = 0; look < 3; ++look) {
                    if (!uniform(lease->data(), lease->format().size, expected)) {
                        return torn_frame;
                    }
                    std::this_thread::sleep_for(200us);
                }
                ++leased;
                continue;
            }
        }
        copied.resize(reader.format()->size);
        if (const auto info = reader.copy(copied.data(), copied.size())) {
            if (!uniform(copied.data(), copied.size(), frame_value(info->number))) {
                return torn_frame;
            }
            ++copies;
        }
    }
    return (leased > 0 ? leased_frames : 0) | (copies > 0 ? copied_frames : 0);
}

TEST(RingProcesses, ReadersLeasingAndCopyingBesideAFastWriterNeverSeeATornFrame) {
    zorvtest::ShmGuard guard;
    ring_options options;
    options.readers = 2; // the third reader only copies
    frame_writer writer(guard.name(), frame_format::of("I420", 320, 240), options);
    publish_numbered(writer, 1);

    std::vector<std::unique_ptr<ChildProcess>> readers;
    for (int i = 0; i < 3; ++i) {
        readers.push_back(std::make_unique<ChildProcess>(
            [&] { return check_frames(guard.name(), std::chrono::milliseconds(1500)); }));
    }
    std::uint64_t number = 1;
    const auto end = std::chrono::steady_clock::now() + 1700ms;
    while (std::chrono::steady_clock::now() < end) {
        publish_numbered(writer, ++number);
    }
    int paths = 0;
    for (auto& reader : readers) {
        const int status = reader->wait(5s);
        EXPECT_NE(status, torn_frame) << "a torn frame was accepted";
        EXPECT_GT(status, torn_frame) << "a reader read nothing, or did not end";
        paths |= status;
    }
    EXPECT_EQ(paths, leased_frames | copied_frames) << "both paths ran";
    EXPECT_GT(number, 100u);
}

TEST(RingProcesses, LeasesOfAReaderKilledOutrightComeBackWithinASecondReapedOrNot) {
    zorvtest::ShmGuard guard;
    ring_options options;
    options.readers = 1;
    options.leases_per_reader = 2;
    frame_writer writer(guard.name(), frame_format::of("NV12", 64, 64), options);
    publish_numbered(writer, 1);

    Signal holding;
    ChildProcess holder([&] {
        frame_reader reader(guard.name());
        auto first = reader.wait(2s) ? reader.hold() : std::nullopt;
        auto second = reader.hold();
        if (!first || !second) {
            return 1;
        }
        holding.raise();
        ::pause();
        return 0;
    });
    ASSERT_TRUE(holding.wait());

    frame_reader reader(guard.name());
    ASSERT_TRUE(reader.wait(2s));
    EXPECT_FALSE(reader.hold()) << "the only reader entry is the holder's";
    // Not reaped until its leases are back: a zombie holds nothing either.
    ASSERT_EQ(::kill(holder.pid(), SIGKILL), 0);

    // The writer publishes at 100 fps and keeps its pace while it clears the dead reader.
    std::uint64_t number = 1;
    const bool reclaimed = zorvtest::wait_until(
        [&] {
            publish_numbered(writer, ++number);
            std::this_thread::sleep_for(10ms);
            return reader.hold().has_value();
        },
        std::chrono::milliseconds(1500));
    EXPECT_TRUE(reclaimed);
    EXPECT_EQ(holder.wait(), -1) << "killed by a signal";
    std::vector<std::uint8_t> copied(writer.format().size);
    const auto info = reader.copy(copied.data(), copied.size());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->number, number) << "no publication was missed";
}

} // namespace
