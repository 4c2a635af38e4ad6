// SPDX-License-Identifier: LGPL-2.1-or-later
// POSIX double buffers between real processes: a writer and readers in forked children.
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/posix_double_buffer.h>

#include "internal/shm_access.h"
#include "support/capture_appender.h"
#include "support/child_process.h"
#include "support/double_buffer_test_util.h"
#include "support/raw_shm.h"
#include "support/shm_guard.h"

namespace {

namespace bip = boost::interprocess;
using boost::posix_time::ptime;
using namespace dbtest;
using zorvtest::ChildProcess;
using zorvtest::LogCapture;
using zorvtest::ShmGuard;

// One-way byte channel for lock-step protocols; reads are bounded.
class Pipe {
public:
    Pipe() {
        if (pipe(fds_) != 0) {
            fds_[0] = fds_[1] = -1;
        }
    }
    ~Pipe() {
        for (int fd : fds_) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    bool send(unsigned char byte) const { return write(fds_[1], &byte, 1) == 1; }
    /// The next byte, or -1 after `timeout` without one.
    int receive(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        pollfd entry{fds_[0], POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(timeout.count())) != 1) {
            return -1;
        }
        unsigned char byte = 0;
        return read(fds_[0], &byte, 1) == 1 ? byte : -1;
    }

private:
    int fds_[2];
};

// Pixel content unique to a frame and position.
guint8 pixel_byte(std::uint32_t frame, std::size_t offset) {
    return static_cast<guint8>((offset * 7 + frame * 31 + (offset >> 12)) & 0xFF);
}

TEST(PosixDoubleBufferProcesses, ReaderStartedBeforeWriterBecomesValidOnceSized) {
    ShmGuard guard;
    posix_double_buffer_t reader(guard.c_str(), bip::read_only, 8, 4);
    ASSERT_FALSE(reader.is_valid());

    ChildProcess writer_process([&] {
        posix_double_buffer_t writer(guard.c_str(), bip::read_write, 8, 4);
        if (!writer.is_valid()) {
            return 1;
        }
        writer.grab_write_sem();
        std::memset(writer.get_write_address(), 0x42, 8 * 4 * 4);
        writer.release_write_sem();
        return 0;
    });
    const pid_t writer_pid = writer_process.pid();
    ASSERT_EQ(writer_process.wait(), 0);

    ASSERT_TRUE(zorvtest::wait_until([&] { return reader.is_valid(); }));
    reader.grab_read_sem();
    const guint8* frame = reader.get_read_address();
    for (std::size_t i = 0; i < 8 * 4 * 4; ++i) {
        ASSERT_EQ(frame[i], 0x42) << i;
    }
    reader.release_read_sem();
    EXPECT_EQ(posix_double_buffer_t::get_double_buffer_owner(guard.name()), writer_pid);
}

// Publishes a first frame through `writer` (4x4), then forks a reader of its buffer that waits
// for the next write with a deadline that never expires (not_a_date_time), and returns once the
// reader is about to wait. The reader exits with 0 when `woke_as_expected(before, after)` holds
// for its last write time before and after the wait.
template <typename Check>
std::unique_ptr<ChildProcess> start_waiting_reader(posix_double_buffer_t& writer,
                                                   Check woke_as_expected) {
    writer.release_write_sem();
    Pipe ready;
    auto waiter = std::make_unique<ChildProcess>([&] {
        posix_double_buffer_t reader(writer.get_name().c_str(), bip::read_only, 4, 4);
        if (!reader.is_valid()) {
            return 1;
        }
        const ptime before = reader.get_last_write_time();
        ready.send(1);
        reader.wait_for_write(ptime()); // only a publication or a reset ends it
        return woke_as_expected(before, reader.get_last_write_time()) ? 0 : 2;
    });
    EXPECT_EQ(ready.receive(), 1) << "the reader never got to its wait";
    return waiter;
}

TEST(PosixDoubleBufferProcesses, WaitWithNotADateTimeDeadlineWakesOnPublication) {
    ShmGuard guard;
    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 4, 4);
    ASSERT_TRUE(writer.is_valid());
    const auto waiter = start_waiting_reader(
        writer, [](const ptime& before, const ptime& after) { return after != before; });
    // Keep publishing until the child notices; a child that never wakes is killed and fails.
    std::optional<int> status;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!status && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        writer.release_write_sem();
        status = waiter->try_wait();
    }
    ASSERT_TRUE(status.has_value()) << "the waiting reader never woke";
    EXPECT_EQ(*status, 0);
}

TEST(PosixDoubleBufferProcesses, ResetOfLastWriteTimeEndsAWait) {
    ShmGuard guard;
    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 4, 4);
    ASSERT_TRUE(writer.is_valid());
    const auto waiter = start_waiting_reader(
        writer, [](const ptime&, const ptime& after) { return after.is_not_a_date_time(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    writer.reset_last_write_time();
    EXPECT_EQ(waiter->wait(std::chrono::seconds(5)), 0);
}

TEST(PosixDoubleBufferProcesses, ReaderNeverSeesACountAheadOfTheFrame) {
    // Each frame starts with its own number; once a reader sees frame_count n, the slot the
    // indicator names must hold frame n or a later one.
    ShmGuard guard;
    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 8, 8);
    ASSERT_TRUE(writer.is_valid());
    constexpr std::uint32_t frames = 3000;

    ChildProcess reader_process([&] {
        posix_double_buffer_t reader(guard.c_str(), bip::read_only, 8, 8);
        if (!reader.is_valid()) {
            return 1;
        }
        const double_buffer_header_t* header = reader.get_header();
        std::uint64_t count = 0;
        while (count < frames) {
            count = zorvgst::detail::load_acquire(header->frame_count);
            std::uint32_t number = 0;
            std::memcpy(&number, reader.get_read_address(), sizeof(number));
            if (number < count) {
                return 3;
            }
        }
        return 0;
    });
    for (std::uint32_t n = 1; n <= frames; ++n) {
        writer.grab_write_sem();
        std::memcpy(writer.get_write_address(), &n, sizeof(n));
        writer.release_write_sem();
    }
    EXPECT_EQ(reader_process.wait(std::chrono::seconds(20)), 0);
}

TEST(PosixDoubleBufferProcesses, ExpiryRemovesTheBufferOfADeadOwner) {
    ShmGuard guard;
    ChildProcess writer_process([&] {
        posix_double_buffer_t writer(guard.c_str(), bip::read_write, 2, 2);
        return writer.is_valid() ? 0 : 1;
    });
    const pid_t dead = writer_process.pid();
    ASSERT_EQ(writer_process.wait(), 0); // exited and reaped: its id names no process
    ASSERT_EQ(posix_double_buffer_t::get_double_buffer_owner(guard.name()), dead);

    LogCapture log;
    EXPECT_TRUE(double_buffer_t::remove_double_buffer_if_owner_pid_expired(guard.c_str()));
    EXPECT_TRUE(logged(log, "Expiring Buffer: " + guard.name(), debug));
    EXPECT_TRUE(logged(log, "Removing Double Buffer Shm: " + guard.name(), debug));
    EXPECT_FALSE(zorvtest::object_exists(guard.name()));
}

TEST(DoubleBufferProcesses, FullHdFramesArriveInOrderThroughTheFacade) {
    constexpr unsigned long width = 1920;
    constexpr unsigned long height = 1080;
    constexpr std::size_t frame_bytes = width * height * 4;
    constexpr std::uint32_t frames = 6;
    ShmGuard guard;
    Pipe to_writer;
    Pipe to_reader;

    ChildProcess writer_process([&] {
        double_buffer_t writer(guard.c_str(), bip::read_write, width, height);
        if (!writer.is_valid()) {
            return 1;
        }
        to_reader.send(0);
        for (std::uint32_t frame = 1; frame <= frames; ++frame) {
            writer.grab_write_sem();
            guint8* slot = writer.get_write_address();
            for (std::size_t i = 0; i < frame_bytes; ++i) {
                slot[i] = pixel_byte(frame, i);
            }
            writer.release_write_sem();
            to_reader.send(static_cast<unsigned char>(frame));
            if (to_writer.receive() != static_cast<int>(frame)) {
                return 2; // the reader did not confirm this frame
            }
        }
        return 0;
    });

    ASSERT_EQ(to_reader.receive(), 0);
    double_buffer_t reader(guard.c_str(), bip::read_only, width, height);
    ASSERT_TRUE(reader.is_valid());
    EXPECT_EQ(reader.get_width(), width);
    EXPECT_EQ(reader.get_height(), height);
    std::vector<guint8> copy(frame_bytes);
    for (std::uint32_t frame = 1; frame <= frames; ++frame) {
        ASSERT_EQ(to_reader.receive(), static_cast<int>(frame));
        reader.grab_read_sem();
        std::memcpy(copy.data(), reader.get_read_address(), frame_bytes);
        reader.release_read_sem();
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < frame_bytes; ++i) {
            wrong += copy[i] != pixel_byte(frame, i) ? 1 : 0;
        }
        ASSERT_EQ(wrong, 0u) << "frame " << frame;
        to_writer.send(static_cast<unsigned char>(frame));
    }
    EXPECT_EQ(writer_process.wait(), 0);
    const auto bytes = zorvtest::read_file_bytes(guard.path());
    ASSERT_EQ(bytes.size(), compute_size(width, height));
    EXPECT_EQ(zorvtest::field_at<std::uint64_t>(bytes, count_offset), frames);
}

} // namespace
