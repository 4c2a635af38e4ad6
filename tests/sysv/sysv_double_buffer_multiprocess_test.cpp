// SPDX-License-Identifier: LGPL-2.1-or-later
// System V double buffer across processes: wake-ups, deadlines, dead lock holders, dead owners.
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include <boost/interprocess/sync/named_mutex.hpp>
#include <gtest/gtest.h>
#include <unistd.h>

#include <zorvgst/sysv_double_buffer.h>

#include "support/capture_appender.h"
#include "support/child_process.h"
#include "support/shm_guard.h"
#include "support/sysv_double_buffer_helpers.h"

namespace {

namespace ipc = boost::interprocess;
using boost::posix_time::ptime;
using sysv_double_buffer::sysv_double_buffer_t;
using zorvtest::ChildProcess;
using zorvtest::ShmGuard;
using zorvtest::Signal;

// Takes the buffer's write-wait mutex and keeps it until killed.
int hold_write_wait_mutex(const std::string& name, const Signal& ready) {
    ipc::named_mutex mutex(ipc::open_only,
                           sysv_double_buffer::build_write_wait_condition_mutex_name(name).c_str());
    mutex.lock();
    ready.raise();
    ::sleep(60);
    return 0;
}

class SysvDoubleBufferMultiprocess : public ::testing::Test {
protected:
    ShmGuard guard_;
};

TEST_F(SysvDoubleBufferMultiprocess, SleepingReadersAreWokenByPublicationInAnotherProcess) {
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 4, 2);
    ASSERT_TRUE(writer.is_valid());
    Signal ready;
    auto reader_body = [&] {
        sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only);
        if (!reader.is_valid()) {
            return 2;
        }
        const ptime before = reader.get_last_write_time();
        ready.raise();
        reader.wait_for_write(ptime()); // no limit: only the publication ends it
        const ptime after = reader.get_last_write_time();
        return !after.is_special() && after != before ? 0 : 3;
    };
    ChildProcess first(reader_body);
    ChildProcess second(reader_body);
    ASSERT_TRUE(ready.wait());
    ASSERT_TRUE(ready.wait());
    ASSERT_TRUE(zorvtest::wait_until_sleeping(first.pid()));
    ASSERT_TRUE(zorvtest::wait_until_sleeping(second.pid()));

    sysvtest::stopwatch clock;
    writer.release_write_sem();
    EXPECT_EQ(first.wait(std::chrono::seconds(5)), 0);
    EXPECT_EQ(second.wait(std::chrono::seconds(5)), 0);
    EXPECT_LT(clock.elapsed_ms(), 1000);
}

TEST_F(SysvDoubleBufferMultiprocess, ChildForkedFromAPublishingProcessPublishesToo) {
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 4, 2);
    ASSERT_TRUE(writer.is_valid());
    // A publication starts the process's notifying thread; the fork comes once it waits for
    // the next request.
    writer.release_write_sem();
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const pid_t thread = std::stoi(task.path().filename().string());
        ASSERT_TRUE(thread == ::getpid() || zorvtest::wait_until_sleeping(thread));
    }
    ChildProcess child([&] {
        // Paced, so that the child's own thread waits again between its requests.
        for (int i = 0; i < 5; ++i) {
            writer.release_write_sem();
            ::usleep(20000);
        }
        return 0;
    });
    EXPECT_EQ(child.wait(std::chrono::seconds(5)), 0);
}

TEST_F(SysvDoubleBufferMultiprocess, DeadlineIsReadAsUtcWhateverTheLocalZone) {
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 4, 2);
    ASSERT_TRUE(writer.is_valid());
    ChildProcess child([&] {
        // Five hours behind UTC: a local deadline two seconds ahead has long passed in UTC.
        ::setenv("TZ", "UTC+5", 1);
        ::tzset();
        sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only);
        sysvtest::stopwatch local_clock;
        reader.wait_for_write(boost::posix_time::microsec_clock::local_time() +
                              boost::posix_time::seconds(2));
        if (local_clock.elapsed_ms() > 500) {
            return 3;
        }
        sysvtest::stopwatch utc_clock;
        reader.wait_for_write(sysvtest::utc_in(300));
        return utc_clock.elapsed_ms() >= 280 && utc_clock.elapsed_ms() < 2000 ? 0 : 4;
    });
    EXPECT_EQ(child.wait(std::chrono::seconds(10)), 0);
}

TEST_F(SysvDoubleBufferMultiprocess, KilledMutexHolderHoldsNeitherBoundedWaitNorPublication) {
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 4, 2);
    sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only);
    ASSERT_TRUE(writer.is_valid());
    ASSERT_TRUE(reader.is_valid());
    Signal ready;
    ChildProcess holder([&] { return hold_write_wait_mutex(guard_.name(), ready); });
    ASSERT_TRUE(ready.wait());
    holder.kill_and_reap(SIGKILL);

    sysvtest::stopwatch clock;
    reader.wait_for_write(sysvtest::utc_in(300));
    EXPECT_GE(clock.elapsed_ms(), 280);
    EXPECT_LT(clock.elapsed_ms(), 2000);

    // Publication in a watched child, so a blocked one fails the test instead of hanging it.
    const std::uint64_t frames = writer.get_header()->frame_count;
    ChildProcess publisher([&] {
        writer.release_write_sem();
        return 0;
    });
    EXPECT_EQ(publisher.wait(std::chrono::seconds(5)), 0);
    EXPECT_EQ(writer.get_header()->frame_count, frames + 1);
}

TEST_F(SysvDoubleBufferMultiprocess, WokenWaiterReturnsByItsDeadlineWhenAHolderDiedMeanwhile) {
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 4, 2);
    ASSERT_TRUE(writer.is_valid());
    Signal waiter_ready;
    ChildProcess waiter([&] {
        sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only);
        waiter_ready.raise();
        sysvtest::stopwatch clock;
        reader.wait_for_write(sysvtest::utc_in(1500));
        return clock.elapsed_ms() < 3000 ? 0 : 3;
    });
    ASSERT_TRUE(waiter_ready.wait());
    // Asleep on the condition, the waiter has let go of the mutex: a second process takes it
    // and dies before the publication wakes the waiter, which must then take it back.
    ASSERT_TRUE(zorvtest::wait_until_sleeping(waiter.pid()));
    Signal holder_ready;
    ChildProcess holder([&] { return hold_write_wait_mutex(guard_.name(), holder_ready); });
    ASSERT_TRUE(holder_ready.wait());
    holder.kill_and_reap(SIGKILL);

    writer.release_write_sem();
    EXPECT_EQ(waiter.wait(std::chrono::seconds(6)), 0);
}

TEST_F(SysvDoubleBufferMultiprocess, BufferOfADeadOwnerIsExpiredWhole) {
    ChildProcess owner([&] {
        sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 4, 2);
        return writer.is_valid() ? 0 : 2;
    });
    const pid_t owner_pid = owner.pid();
    ASSERT_EQ(owner.wait(), 0);
    ASSERT_EQ(sysv_double_buffer_t::get_double_buffer_owner(guard_.name()), owner_pid);
    const int shmid = shmget(sysvtest::key_of(guard_.path()), 0, 0);
    ASSERT_NE(shmid, -1);

    zorvtest::LogCapture capture;
    EXPECT_TRUE(sysv_double_buffer_t::remove_double_buffer_if_owner_pid_expired(guard_.c_str()));
    const auto expiring = capture.with_message("Expiring Buffer: " + guard_.name());
    ASSERT_EQ(expiring.size(), 1u);
    EXPECT_EQ(expiring[0].level, log4cxx::Level::DEBUG_INT);
    EXPECT_EQ(capture.containing("Removing Double Buffer Shm: " + guard_.name()).size(), 1u);
    EXPECT_FALSE(sysvtest::segment_exists(shmid));
    EXPECT_FALSE(sysvtest::file_exists(guard_.path()));
    EXPECT_TRUE(sysvtest::no_write_wait_objects(guard_.name()));
}

} // namespace
