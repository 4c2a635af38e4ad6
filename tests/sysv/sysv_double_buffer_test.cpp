// SPDX-License-Identifier: LGPL-2.1-or-later
// System V double buffer in one process: objects on the system, open rules, exchange, clean-up.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <zorvgst/sysv_double_buffer.h>

#include "support/capture_appender.h"
#include "support/double_buffer_test_util.h"
#include "support/shm_guard.h"
#include "support/sysv_double_buffer_helpers.h"

namespace {

namespace ipc = boost::interprocess;
using boost::posix_time::ptime;
using sysv_double_buffer::sysv_double_buffer_t;
using zorvtest::LogCapture;
using zorvtest::ShmGuard;

constexpr int error_level = log4cxx::Level::ERROR_INT;
constexpr int warn_level = log4cxx::Level::WARN_INT;
constexpr int debug_level = log4cxx::Level::DEBUG_INT;
const char* const sysv_unit = "sysv_double_buffer";

std::string hex(key_t key) {
    char text[16];
    std::snprintf(text, sizeof(text), "%x", static_cast<unsigned>(key));
    return text;
}

std::string quoted(const std::string& path) {
    return "\"" + path + "\"";
}

size_t count_with(const LogCapture& capture, const std::string& message, int level) {
    size_t count = 0;
    for (const auto& line : capture.with_message(message)) {
        count += line.level == level ? 1 : 0;
    }
    return count;
}

class SysvDoubleBuffer : public ::testing::Test {
protected:
    ShmGuard guard_;
    const std::string& name() const { return guard_.name(); }
};

TEST_F(SysvDoubleBuffer, WriterCreatesZeroedSegmentKeyFileAndWriteWaitObjects) {
    LogCapture capture;
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 4, 2);
    ASSERT_TRUE(writer.is_valid());

    EXPECT_EQ(sysvtest::file_size(guard_.path()), 0);
    EXPECT_TRUE(sysvtest::write_wait_objects_exist(name()));
    std::size_t size = 0;
    unsigned perms = 0;
    ASSERT_TRUE(sysvtest::segment_info(writer.get_shmid(), size, perms));
    EXPECT_EQ(size, sysv_double_buffer::compute_size(4, 2));
    EXPECT_EQ(sysv_double_buffer::compute_size(4, 2), compute_size(4, 2));
    EXPECT_EQ(perms, 0660u);

    const auto* header = writer.get_header();
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->buffer_indicator, 0u);
    EXPECT_EQ(sysvtest::raw_bits(header->last_write_time), 0x7FFFFFFFFFFFFFFELL);
    EXPECT_EQ(header->width, 4u);
    EXPECT_EQ(header->height, 2u);
    EXPECT_EQ(header->owner_pid, getpid());
    EXPECT_EQ(header->frame_count, 0u);
    const auto* bytes = reinterpret_cast<const unsigned char*>(header);
    for (std::size_t i = 0; i < size; ++i) {
        if (i >= 8 && i < 28) {
            continue; // time, dimensions, owner
        }
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }

    const key_t key = sysvtest::key_of(guard_.path());
    ASSERT_NE(key, -1);
    const std::string key_text = hex(key);
    EXPECT_EQ(key_text.size(), 8u);
    EXPECT_EQ(key_text.substr(0, 2), "3b");
    EXPECT_EQ(count_with(capture, "Touching: " + quoted(guard_.path()), debug_level), 1u);
    EXPECT_EQ(count_with(capture,
                         "Attempting to Open Existing SHM: " + name() + " with Key: " + key_text,
                         debug_level),
              1u);
    EXPECT_EQ(
        count_with(capture,
                   "SHM Did Not Already Exist: " + name() + " -- Creating with Key: " + key_text,
                   debug_level),
        1u);
    EXPECT_EQ(count_with(capture, "Zeroing Out Created SHM: " + name(), debug_level), 1u);
    EXPECT_EQ(count_with(capture,
                         "Taking Ownership of " + name() + " with PID: " + std::to_string(getpid()),
                         debug_level),
              1u);
    const auto reset = capture.with_message("Starting Header Reset");
    ASSERT_EQ(reset.size(), 1u);
    EXPECT_EQ(reset[0].file, sysv_unit);
    EXPECT_EQ(reset[0].function, "void sysv_double_buffer::sysv_double_buffer_t::reset_header()");
    const auto touching = capture.containing("Touching: ");
    ASSERT_EQ(touching.size(), 1u);
    EXPECT_EQ(touching[0].function, "static boost::interprocess::xsi_key "
                                    "sysv_double_buffer::sysv_double_buffer_t::key_from_name("
                                    "const char*, bool)");
}

TEST_F(SysvDoubleBuffer, ReaderBeforeWriterMakesWaitObjectsNoKeyFileAndBecomesValidOnceCreated) {
    LogCapture capture;
    sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only);
    EXPECT_FALSE(reader.is_valid());
    EXPECT_FALSE(sysvtest::file_exists(guard_.path()));
    EXPECT_TRUE(sysvtest::write_wait_objects_exist(name()));
    EXPECT_GE(
        count_with(capture, "SYSV Key File Does Not Exist for Buffer: " + name(), debug_level), 1u);
    EXPECT_EQ(capture.count_at(error_level), 0u);

    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 6, 3);
    ASSERT_TRUE(writer.is_valid());
    EXPECT_TRUE(reader.is_valid());
    EXPECT_EQ(reader.get_width(), 6u);
    EXPECT_EQ(reader.get_height(), 3u);
    EXPECT_EQ(reader.get_header()->owner_pid, getpid());
}

TEST_F(SysvDoubleBuffer, ReadersAdoptOrCheckTheHeaderDimensions) {
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 6, 3);
    ASSERT_TRUE(writer.is_valid());

    sysv_double_buffer_t adopting(guard_.c_str(), ipc::read_only, 0, 0);
    EXPECT_TRUE(adopting.is_valid());
    EXPECT_EQ(adopting.get_width(), 6u);
    EXPECT_EQ(adopting.get_height(), 3u);

    sysv_double_buffer_t matching(guard_.c_str(), ipc::read_only, 6, 3);
    EXPECT_TRUE(matching.is_valid());

    LogCapture capture;
    sysv_double_buffer_t other(guard_.c_str(), ipc::read_only, 3, 6);
    const std::string mismatch = "Buffer Dimensions: 6x3 Do Not Match Expected Dimensions: 3x6";
    EXPECT_EQ(count_with(capture, mismatch, error_level), 1u);
    EXPECT_EQ(count_with(capture,
                         "Exception Initializing Shared Memory: " + name() + " -- " + mismatch,
                         error_level),
              1u);
    EXPECT_NE(other.get_header(), nullptr); // attached but not accepted
    EXPECT_FALSE(other.is_valid());
    EXPECT_EQ(other.get_width(), 3u);
}

TEST_F(SysvDoubleBuffer, WriterOfAnotherSizeFailsAndLeavesTheSegmentAlone) {
    sysv_double_buffer_t first(guard_.c_str(), ipc::read_write, 4, 2);
    ASSERT_TRUE(first.is_valid());
    first.release_write_sem();

    // Same byte count, other shape: the segment is reused, and its header reset so that
    // readers learn the new shape instead of reading 2x4 frames as 4x2 ones.
    sysv_double_buffer_t transposed(guard_.c_str(), ipc::read_write, 2, 4);
    EXPECT_TRUE(transposed.is_valid());
    EXPECT_EQ(transposed.get_shmid(), first.get_shmid());
    EXPECT_EQ(transposed.get_header()->width, 2u);
    EXPECT_EQ(transposed.get_header()->height, 4u);
    EXPECT_EQ(transposed.get_header()->frame_count, 0u);
    transposed.release_write_sem();
    const auto before = *first.get_header();

    LogCapture capture;
    sysv_double_buffer_t larger(guard_.c_str(), ipc::read_write, 8, 8);
    EXPECT_FALSE(larger.is_valid());
    EXPECT_EQ(capture.containing("SHM Did Not Already Exist: " + name()).size(), 2u);
    EXPECT_EQ(count_with(capture,
                         "Interprocess Exception Initializing Shared Memory: " + name() + " -- " +
                             std::strerror(EEXIST) + ", " + std::strerror(EEXIST),
                         error_level),
              2u); // construction and the retry of is_valid()
    const auto* header = first.get_header();
    EXPECT_EQ(header->width, before.width);
    EXPECT_EQ(header->frame_count, before.frame_count);
    EXPECT_EQ(header->owner_pid, before.owner_pid);
    EXPECT_EQ(header->last_write_time, before.last_write_time);

    // The failed writer still holds the small segment: its slots must not be handed out.
    EXPECT_THROW(larger.get_write_address(), std::runtime_error);
}

TEST_F(SysvDoubleBuffer, WriterWithUnusableDimensionsFailsAfterTouchingTheKeyFile) {
    struct dims {
        std::size_t width, height;
    };
    for (const dims d : {dims{0, 2}, dims{4, 0}, dims{std::size_t{1} << 33, 1},
                         dims{std::size_t{1} << 31, std::size_t{1} << 31}}) {
        LogCapture capture;
        sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, d.width, d.height);
        EXPECT_FALSE(writer.is_valid());
        EXPECT_EQ(writer.get_header(), nullptr);
        EXPECT_GE(count_with(capture,
                             "Attempted to Open SHM: " + name() +
                                 " in Write Mode w/Invalid Dimensions: " + std::to_string(d.width) +
                                 "x" + std::to_string(d.height),
                             error_level),
                  1u);
        EXPECT_GE(count_with(capture,
                             "Exception Initializing Shared Memory: " + name() +
                                 " -- Invalid Dimensions for Write Mode",
                             error_level),
                  1u);
        EXPECT_TRUE(sysvtest::file_exists(guard_.path()));
        EXPECT_EQ(shmget(sysvtest::key_of(guard_.path()), 0, 0), -1);
    }
}

TEST_F(SysvDoubleBuffer, KeyFileWithoutSegmentIsReportedWithTheSystemText) {
    std::ofstream(guard_.path()).close();
    LogCapture capture;
    sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only);
    EXPECT_FALSE(reader.is_valid());
    EXPECT_GE(count_with(capture,
                         "Interprocess Exception Initializing Shared Memory: " + name() + " -- " +
                             std::strerror(ENOENT) + ", " + std::strerror(ENOENT),
                         error_level),
              1u);
}

TEST_F(SysvDoubleBuffer, EmptyNameAndOtherModesOpenNoSegment) {
    {
        LogCapture capture;
        sysv_double_buffer_t empty_writer("", ipc::read_write, 4, 2);
        sysv_double_buffer_t empty_reader("", ipc::read_only);
        EXPECT_FALSE(empty_writer.is_valid());
        EXPECT_FALSE(empty_reader.is_valid());
        EXPECT_TRUE(capture.lines().empty());
        EXPECT_FALSE(sysvtest::file_exists("/dev/shm/_cond"));
        EXPECT_FALSE(sysvtest::file_exists("/dev/shm/sem._cond_mutex"));
    }
    sysv_double_buffer_t other_mode(guard_.c_str(), ipc::copy_on_write, 4, 2);
    EXPECT_FALSE(other_mode.is_valid());
    EXPECT_EQ(other_mode.get_header(), nullptr);
    EXPECT_TRUE(sysvtest::write_wait_objects_exist(name()));
    EXPECT_FALSE(sysvtest::file_exists(guard_.path()));
}

TEST_F(SysvDoubleBuffer, NamesLeavingTheShmDirectoryAreRefusedEverywhere) {
    const std::string escape = zorvtest::run_prefix() + "escape_buffer";
    const std::string outside = "/dev/" + escape;
    for (const std::string& bad : {std::string("."), std::string(".."), "../" + escape,
                                   "/dev/shm/" + escape, std::string("sub/dir_buffer")}) {
        SCOPED_TRACE(bad);
        const std::string refused = "Invalid Double Buffer Name: " + bad;
        LogCapture capture;
        sysv_double_buffer_t writer(bad.c_str(), ipc::read_write, 4, 2);
        sysv_double_buffer_t reader(bad.c_str(), ipc::read_only);
        EXPECT_FALSE(writer.is_valid());
        EXPECT_FALSE(reader.is_valid());
        EXPECT_EQ(sysv_double_buffer_t::key_from_name(bad.c_str(), true).get_key(), 0);
        EXPECT_EQ(sysv_double_buffer_t::get_double_buffer_owner(bad), 0);
        EXPECT_FALSE(sysv_double_buffer_t::remove_double_buffer_if_owner_pid_expired(bad.c_str()));
        EXPECT_NO_THROW(sysv_double_buffer_t::remove(bad.c_str()));
        // Two opens, two retries, key, owner, expiry, removal: each one error line, nothing else.
        EXPECT_EQ(count_with(capture, refused, error_level), 8u);
        EXPECT_EQ(capture.lines().size(), 8u);
        EXPECT_FALSE(sysvtest::file_exists(outside));
        EXPECT_FALSE(sysvtest::file_exists(outside + "_cond"));
    }
    EXPECT_EQ(sysv_double_buffer_t::get_double_buffer_owner(""), 0);
    ::unlink(outside.c_str()); // in case a refusal failed
}

TEST_F(SysvDoubleBuffer, DanglingLinkInPlaceOfTheKeyFileIsNeverFollowed) {
    const std::string target = "/tmp/" + zorvtest::run_prefix() + "link_target";
    ::unlink(target.c_str());
    ASSERT_EQ(::symlink(target.c_str(), guard_.path().c_str()), 0);
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 4, 2);
    EXPECT_FALSE(writer.is_valid());
    EXPECT_FALSE(sysvtest::file_exists(target));
    ::unlink(target.c_str());
}

TEST_F(SysvDoubleBuffer, PublicationFlipsToTheSlotJustWritten) {
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 2, 2);
    sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only);
    ASSERT_TRUE(writer.is_valid());
    ASSERT_TRUE(reader.is_valid());
    auto* writer_base = reinterpret_cast<guint8*>(writer.get_header());
    auto* reader_base = reinterpret_cast<const guint8*>(reader.get_header());

    writer.grab_write_sem();
    guint8* slot = writer.get_write_address();
    EXPECT_EQ(slot, writer_base + 56);
    for (int i = 0; i < 16; ++i) {
        slot[i] = static_cast<guint8>(0xA0 + i);
    }
    const ptime before = boost::posix_time::microsec_clock::local_time();
    writer.release_write_sem();
    const ptime after = boost::posix_time::microsec_clock::local_time();

    EXPECT_EQ(writer.get_header()->buffer_indicator, 1u);
    EXPECT_EQ(writer.get_header()->frame_count, 1u);
    const ptime stamped = reader.get_last_write_time();
    EXPECT_LE(before, stamped);
    EXPECT_LE(stamped, after);
    reader.grab_read_sem();
    const guint8* read = reader.get_read_address();
    EXPECT_EQ(read, reader_base + 56);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(read[i], 0xA0 + i);
    }
    reader.release_read_sem();
    EXPECT_EQ(writer.get_write_address(), writer_base + 40);
    EXPECT_EQ(writer.get_read_address(), writer_base + 56);

    writer.reset_last_write_time();
    EXPECT_TRUE(reader.get_last_write_time().is_not_a_date_time());
}

TEST_F(SysvDoubleBuffer, InvalidIndicatorIsReportedAndRepairedOnlyWhereWritable) {
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 2, 2);
    sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only);
    ASSERT_TRUE(writer.is_valid());
    ASSERT_TRUE(reader.is_valid());
    auto* header = writer.get_header();
    auto* writer_base = reinterpret_cast<guint8*>(header);
    LogCapture capture;

    // Each address taken with the indicator out of range is reported once, as an error.
    const auto invalid_indicator_errors = [&](const std::string& returning) {
        return count_with(capture,
                          "Invalid Shared Memory Read Buffer Indicator: 7 for " + name() +
                              " -- Returning " + returning,
                          error_level);
    };

    header->buffer_indicator = 7;
    EXPECT_EQ(reader.get_read_address(), reinterpret_cast<const guint8*>(reader.get_header()) + 40);
    EXPECT_EQ(header->buffer_indicator, 7u);
    EXPECT_EQ(invalid_indicator_errors("Read Buffer 0"), 1u);

    EXPECT_EQ(writer.get_write_address(), writer_base + 56);
    EXPECT_EQ(header->buffer_indicator, 0u);
    EXPECT_EQ(invalid_indicator_errors("Writer Buffer 1"), 1u);

    header->buffer_indicator = 7;
    writer.release_write_sem();
    EXPECT_EQ(header->buffer_indicator, 7u);
    EXPECT_EQ(header->frame_count, 1u);
    EXPECT_FALSE(header->last_write_time.is_special());
    EXPECT_EQ(count_with(capture,
                         "Last Write Left Buffer Indicator in Invalid State for: " + name() +
                             " -- Buffer Indicator: 7",
                         error_level),
              1u);

    EXPECT_EQ(writer.get_read_address(), writer_base + 40);
    EXPECT_EQ(header->buffer_indicator, 0u);
}

TEST_F(SysvDoubleBuffer, AddressAndGrabErrorsThrowTheirFixedTexts) {
    LogCapture capture;
    sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only); // no buffer yet: unattached
    dbtest::expect_runtime_error(
        [&] { reader.get_write_address(); },
        "Unexpected Call to get_write_address() On Read Only Double Buffer");
    dbtest::expect_runtime_error([&] { reader.grab_read_sem(); },
                                 "Attempted to Grab Write Sem on Invalid Buffer");
    dbtest::expect_runtime_error([&] { reader.get_read_address(); },
                                 "Cannot Get Read Address -- Header is Null");
    EXPECT_EQ(
        count_with(capture,
                   "Unexpected Call to get_write_address() On Read Only Double Buffer: " + name(),
                   error_level),
        1u);
    EXPECT_EQ(count_with(capture, "Cannot Get Read Address -- Header Is Null for: " + name(),
                         error_level),
              1u);

    sysv_double_buffer_t detached;
    dbtest::expect_runtime_error([&] { detached.grab_write_sem(); },
                                 "Attempted to Grab Write Sem on Invalid Buffer");
    dbtest::expect_runtime_error([&] { detached.get_write_address(); },
                                 "Cannot Get Write Address -- Header is Null");
    EXPECT_EQ(count_with(capture, "Cannot Get Write Address -- Header Is Null for: ", error_level),
              1u);
}

TEST_F(SysvDoubleBuffer, StoresWithoutWritableAttachmentLogOneErrorAndChangeNothing) {
    sysv_double_buffer_t detached;
    {
        LogCapture capture;
        detached.release_read_sem();
        detached.release_write_sem();
        detached.reset_last_write_time();
        detached.reset_header();
        EXPECT_EQ(capture.count_at(error_level), 4u);
        EXPECT_EQ(capture.lines().size(), 4u);
        EXPECT_TRUE(detached.get_last_write_time().is_not_a_date_time());
    }

    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 2, 2);
    writer.release_write_sem();
    const auto before = *writer.get_header();
    sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only);
    ASSERT_TRUE(reader.is_valid());
    LogCapture capture;
    reader.release_write_sem();
    reader.reset_last_write_time();
    reader.reset_header();
    EXPECT_EQ(
        count_with(capture,
                   "Unexpected Call to release_write_sem() On Read Only Double Buffer: " + name(),
                   error_level),
        1u);
    EXPECT_EQ(count_with(capture,
                         "Unexpected Call to reset_last_write_time() On Read Only Double Buffer: " +
                             name(),
                         error_level),
              1u);
    EXPECT_EQ(capture.lines().size(), 3u);
    EXPECT_EQ(std::memcmp(writer.get_header(), &before, sizeof(before)), 0);
}

TEST_F(SysvDoubleBuffer, CorruptHeaderDimensionsNeverReachPastTheSegment) {
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 4, 2);
    ASSERT_TRUE(writer.is_valid());
    auto* header = writer.get_header();
    header->width = 1000;
    {
        LogCapture capture;
        sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only);
        EXPECT_FALSE(reader.is_valid());
        EXPECT_EQ(reader.get_width(), 0u);
        EXPECT_GE(count_with(capture, "Buffer Dimensions: 1000x2 Exceed Shared Memory Size: 104",
                             error_level),
                  1u);
    }
    header->width = 0xFFFFFFFFu;
    header->height = 0xFFFFFFFFu;
    sysv_double_buffer_t wrapped(guard_.c_str(), ipc::read_only);
    EXPECT_FALSE(wrapped.is_valid());

    // A valid reader re-checks the header when asked directly.
    header->width = 4;
    header->height = 2;
    sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only, 4, 2);
    ASSERT_TRUE(reader.is_valid());
    header->width = 8;
    EXPECT_THROW(reader.check_and_init_if_necessary(), std::runtime_error);
    EXPECT_EQ(reader.get_width(), 4u);
}

TEST_F(SysvDoubleBuffer, TransferAndSwapMoveTheAttachment) {
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 2, 2);
    ASSERT_TRUE(writer.is_valid());
    auto* header = writer.get_header();
    const int shmid = writer.get_shmid();

    sysv_double_buffer_t taken(writer);
    EXPECT_EQ(taken.get_header(), header);
    EXPECT_EQ(taken.get_shmid(), shmid);
    EXPECT_TRUE(taken.is_valid());
    EXPECT_EQ(writer.get_header(), nullptr);
    EXPECT_EQ(writer.get_shmid(), -1);
    EXPECT_EQ(writer.get_name(), name());
    EXPECT_THROW(writer.get_write_address(), std::runtime_error);

    sysv_double_buffer_t detached;
    detached.swap(taken);
    EXPECT_EQ(detached.get_header(), header);
    EXPECT_EQ(detached.get_name(), name());
    EXPECT_EQ(detached.get_width(), 2u);
    EXPECT_EQ(taken.get_header(), nullptr);
    EXPECT_TRUE(taken.get_name().empty());
    // Each object's write-wait handles follow its new name.
    sysvtest::stopwatch clock;
    detached.wait_for_write(sysvtest::utc_in(20));
    EXPECT_LT(clock.elapsed_ms(), 1000);
    LogCapture capture;
    taken.wait_for_write(sysvtest::utc_in(20));
    EXPECT_EQ(capture.with_message("Write Wait Condition Not Initialized for Buffer: ").size(), 1u);
}

TEST_F(SysvDoubleBuffer, WaitEndsAtItsUtcDeadline) {
    sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only);
    {
        sysvtest::stopwatch clock;
        reader.wait_for_write(sysvtest::utc_in(300));
        EXPECT_GE(clock.elapsed_ms(), 280);
        EXPECT_LT(clock.elapsed_ms(), 2000);
    }
    {
        sysvtest::stopwatch clock;
        reader.wait_for_write(ptime(boost::gregorian::date(1960, 1, 1)));
        EXPECT_LT(clock.elapsed_ms(), 100);
    }
}

TEST_F(SysvDoubleBuffer, WaitWithoutWriteWaitObjectsLogsAndReturns) {
    sysv_double_buffer_t detached;
    LogCapture capture;
    sysvtest::stopwatch clock;
    detached.wait_for_write(ptime()); // would sleep for ever with handles
    EXPECT_LT(clock.elapsed_ms(), 100);
    const auto lines = capture.with_message("Write Wait Condition Not Initialized for Buffer: ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, error_level);
    EXPECT_EQ(lines[0].function, "void sysv_double_buffer::sysv_double_buffer_t::wait_for_write("
                                 "boost::posix_time::ptime) const");
}

TEST_F(SysvDoubleBuffer, ResetOfTheLastWriteTimeWakesNobody) {
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 2, 2);
    ASSERT_TRUE(writer.is_valid());
    long long waited = 0;
    std::thread waiter([&] {
        sysv_double_buffer_t reader(guard_.c_str(), ipc::read_only);
        sysvtest::stopwatch clock;
        reader.wait_for_write(sysvtest::utc_in(400));
        waited = clock.elapsed_ms();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    writer.reset_last_write_time();
    waiter.join();
    EXPECT_GE(waited, 380);
}

class SysvDoubleBufferDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zorvtest_sysv_listing_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
    }
    void TearDown() override {
        for (const char* entry : {"cam1_buffer", "cam1_overlay_buffer", "cam1_preview_buffer",
                                  "cam1_buffer.old", "notes"}) {
            ::unlink((directory_ + "/" + entry).c_str());
        }
        ::rmdir(directory_.c_str());
    }
    std::string directory_;
};

TEST_F(SysvDoubleBufferDiscovery, ListsNamesEndingInBufferOnly) {
    for (const char* entry : {"cam1_buffer", "cam1_overlay_buffer", "cam1_preview_buffer",
                              "cam1_buffer.old", "notes"}) {
        std::ofstream(directory_ + "/" + entry).close();
    }
    auto names = sysv_double_buffer_t::get_double_buffer_names(directory_);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"cam1_buffer", "cam1_overlay_buffer",
                                               "cam1_preview_buffer"}));

    LogCapture capture;
    const std::string file = directory_ + "/notes";
    EXPECT_TRUE(sysv_double_buffer_t::get_double_buffer_names(file).empty());
    EXPECT_EQ(count_with(capture, "Error " + quoted(file) + " is not a directory", error_level),
              1u);
    EXPECT_TRUE(sysv_double_buffer_t::get_double_buffer_names(directory_ + "/missing").empty());
}

TEST_F(SysvDoubleBuffer, DefaultListingFindsPosixAndSysvBuffersSideBySide) {
    ShmGuard posix_guard("_posix");
    const int fd = shm_open(("/" + posix_guard.name()).c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 2, 2);
    ASSERT_TRUE(writer.is_valid());

    const auto names = sysv_double_buffer_t::get_double_buffer_names();
    auto listed = [&](const std::string& entry) {
        return std::find(names.begin(), names.end(), entry) != names.end();
    };
    EXPECT_TRUE(listed(name()));
    EXPECT_TRUE(listed(posix_guard.name()));
    EXPECT_FALSE(listed(name() + "_cond"));
    EXPECT_FALSE(listed("sem." + name() + "_cond_mutex"));
}

TEST_F(SysvDoubleBuffer, OwnerQueryReadsTheWritersPid) {
    EXPECT_EQ(sysv_double_buffer_t::get_double_buffer_owner(name()), 0);
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 2, 2);
    ASSERT_TRUE(writer.is_valid());
    EXPECT_EQ(sysv_double_buffer_t::get_double_buffer_owner(name()), getpid());
}

TEST_F(SysvDoubleBuffer, RemovalTakesAwayAllFourPieces) {
    int shmid = -1;
    {
        sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 2, 2);
        ASSERT_TRUE(writer.is_valid());
        shmid = writer.get_shmid();
    }
    const std::string key_text = hex(sysvtest::key_of(guard_.path()));
    LogCapture capture;
    sysv_double_buffer_t::remove(guard_.c_str());

    EXPECT_EQ(count_with(capture, "Removing Double Buffer Shm: " + name() + " w/Key: " + key_text,
                         warn_level),
              1u);
    EXPECT_EQ(count_with(capture, "Unlinking: " + quoted(guard_.path()), debug_level), 1u);
    EXPECT_EQ(capture.lines().size(), 2u);
    EXPECT_FALSE(sysvtest::segment_exists(shmid));
    EXPECT_FALSE(sysvtest::file_exists(guard_.path()));
    EXPECT_TRUE(sysvtest::no_write_wait_objects(name()));
}

TEST_F(SysvDoubleBuffer, RemovalOfMissingPiecesWarnsPerPiece) {
    {
        LogCapture capture;
        sysv_double_buffer_t::remove(guard_.c_str());
        EXPECT_TRUE(capture.containing("Removing Double Buffer Shm").empty());
        EXPECT_EQ(count_with(capture,
                             "Failed to Remove Double Buffer Shm Condition: " + name() + "_cond",
                             warn_level),
                  1u);
        EXPECT_EQ(count_with(capture,
                             "Failed to Remove Double Buffer Shm Condition Mutex: " + name() +
                                 "_cond_mutex",
                             warn_level),
                  1u);
        EXPECT_EQ(capture.lines().size(), 2u);
    }

    // A key file whose segment is gone: the removal stops at the segment.
    {
        sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 2, 2);
        ASSERT_TRUE(writer.is_valid());
        ASSERT_EQ(shmctl(writer.get_shmid(), IPC_RMID, nullptr), 0);
    }
    LogCapture capture;
    EXPECT_THROW(sysv_double_buffer_t::remove(guard_.c_str()), ipc::interprocess_exception);
    EXPECT_EQ(capture.containing("Removing Double Buffer Shm: " + name() + " w/Key: ").size(), 1u);
    EXPECT_TRUE(sysvtest::file_exists(guard_.path()));
    EXPECT_TRUE(sysvtest::write_wait_objects_exist(name()));
}

TEST_F(SysvDoubleBuffer, ExpiryKeepsBuffersOfLiveOrNoOwner) {
    sysv_double_buffer_t writer(guard_.c_str(), ipc::read_write, 2, 2);
    ASSERT_TRUE(writer.is_valid());
    EXPECT_FALSE(sysv_double_buffer_t::remove_double_buffer_if_owner_pid_expired(guard_.c_str()));
    writer.get_header()->owner_pid = 0;
    EXPECT_FALSE(sysv_double_buffer_t::remove_double_buffer_if_owner_pid_expired(guard_.c_str()));
    // A negative id names a process group, never an owner.
    writer.get_header()->owner_pid = -999999;
    EXPECT_FALSE(sysv_double_buffer_t::remove_double_buffer_if_owner_pid_expired(guard_.c_str()));
    EXPECT_TRUE(sysvtest::segment_exists(writer.get_shmid()));
    EXPECT_TRUE(sysvtest::file_exists(guard_.path()));
}

TEST(SysvDoubleBufferNames, WriteWaitObjectNamesAndGroupLookup) {
    EXPECT_EQ(sysv_double_buffer::build_write_wait_condition_name("cam_buffer"), "cam_buffer_cond");
    EXPECT_EQ(sysv_double_buffer::build_write_wait_condition_mutex_name("cam_buffer"),
              "cam_buffer_cond_mutex");
    EXPECT_EQ(sysv_double_buffer_t::get_key_file_path("cam_buffer").string(),
              "/dev/shm/cam_buffer");
    LogCapture capture;
    const gid_t gid = sysv_double_buffer::get_zorv_gid_t();
    if (getgrnam("zorv") == nullptr) {
        EXPECT_EQ(gid, static_cast<gid_t>(-1));
        EXPECT_EQ(count_with(capture, "Group zorv Does Not Exist", log4cxx::Level::FATAL_INT), 1u);
    } else {
        EXPECT_EQ(gid, getgrnam("zorv")->gr_gid);
    }
}

} // namespace
