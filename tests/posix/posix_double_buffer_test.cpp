// SPDX-License-Identifier: LGPL-2.1-or-later
// POSIX double buffer handle: opening, creating, validating, and the frame exchange in one process.
#include <cstring>
#include <stdexcept>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zorvgst/posix_double_buffer.h>

#include "support/capture_appender.h"
#include "support/double_buffer_test_util.h"
#include "support/raw_shm.h"
#include "support/shm_guard.h"

namespace {

namespace bip = boost::interprocess;
using boost::posix_time::ptime;
using namespace dbtest;
using zorvtest::field_at;
using zorvtest::LogCapture;
using zorvtest::poke;
using zorvtest::read_file_bytes;
using zorvtest::ShmGuard;

std::int64_t bits_of(const ptime& time) {
    std::int64_t bits;
    std::memcpy(&bits, &time, sizeof(bits));
    return bits;
}

std::string pid_text() {
    return std::to_string(getpid());
}

class PosixDoubleBuffer : public ::testing::Test {
protected:
    // A writer of `width` x 1 frames must be refused, and the refusal logged with `reason`.
    void expect_writer_refused(std::uint64_t width, const std::string& reason) {
        LogCapture log;
        posix_double_buffer_t writer(guard.c_str(), bip::read_write, width, 1);
        EXPECT_FALSE(writer.is_valid());
        EXPECT_TRUE(logged(log,
                           "Double Buffer " + name + " Dimensions Too Large: " +
                               std::to_string(width) + "x1 -- " + reason,
                           error, "posix_double_buffer", 2));
    }

    ShmGuard guard;
    std::string name = guard.name();
};

TEST_F(PosixDoubleBuffer, WriterCreatesObjectWithResetHeaderZeroedSlotsAndGroupMode) {
    const mode_t saved_umask = umask(077);
    LogCapture log;
    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 4, 2);
    umask(saved_umask);
    ASSERT_TRUE(writer.is_valid());

    struct stat info {};
    ASSERT_EQ(stat(guard.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), compute_size(4, 2));

    const auto bytes = read_file_bytes(guard.path());
    ASSERT_EQ(bytes.size(), 104u);
    EXPECT_EQ(field_at<std::uint32_t>(bytes, type_offset), 0u);
    EXPECT_EQ(field_at<std::uint32_t>(bytes, indicator_offset), 0u);
    EXPECT_EQ(field_at<std::int64_t>(bytes, time_offset), not_a_date_time_bits);
    EXPECT_EQ(field_at<std::uint32_t>(bytes, width_offset), 4u);
    EXPECT_EQ(field_at<std::uint32_t>(bytes, height_offset), 2u);
    EXPECT_EQ(field_at<std::int32_t>(bytes, owner_offset), getpid());
    EXPECT_EQ(field_at<std::uint32_t>(bytes, padding_offset), 0u);
    EXPECT_EQ(field_at<std::uint64_t>(bytes, count_offset), 0u);
    for (std::size_t i = header_size; i < bytes.size(); ++i) {
        ASSERT_EQ(bytes[i], 0) << "slot byte " << i;
    }

    EXPECT_TRUE(logged(log,
                       "Double Buffer " + name + " Wrong Size (0 != 104) -- Recreating for " +
                           "Dimensions: 4x2",
                       debug));
    EXPECT_TRUE(logged(log, "Starting Header Reset", debug));
    EXPECT_TRUE(
        logged(log, "Taking Ownership of [" + name + "] with PID: [" + pid_text() + "}", debug));
    // A new object is below 40 bytes when opened: no ownership check before the reset.
    EXPECT_TRUE(log.containing("Taking Ownership of " + name).empty());
    const auto reset = log.with_message("Starting Header Reset");
    ASSERT_EQ(reset.size(), 1u);
    EXPECT_EQ(reset[0].function, "void posix_double_buffer_t::check_and_init_if_necessary()");
    EXPECT_EQ(reset[0].file, "posix_double_buffer");
}

TEST_F(PosixDoubleBuffer, PublicationAndResetAsAnotherProcessSeesTheBytes) {
    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 4, 2);
    ASSERT_TRUE(writer.is_valid());
    writer.grab_write_sem();
    guint8* slot = writer.get_write_address();
    for (int i = 0; i < 32; ++i) {
        slot[i] = static_cast<guint8>(i + 1);
    }
    const ptime before = boost::posix_time::microsec_clock::local_time();
    writer.release_write_sem();
    const ptime after = boost::posix_time::microsec_clock::local_time();

    auto bytes = read_file_bytes(guard.path());
    ASSERT_EQ(bytes.size(), 104u);
    EXPECT_EQ(field_at<std::uint32_t>(bytes, indicator_offset), 1u);
    EXPECT_EQ(field_at<std::uint64_t>(bytes, count_offset), 1u);
    const std::int64_t stamped = field_at<std::int64_t>(bytes, time_offset);
    EXPECT_GE(stamped, bits_of(before));
    EXPECT_LE(stamped, bits_of(after));
    EXPECT_EQ(stamped, bits_of(writer.get_last_write_time()));
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(bytes[72 + i], i + 1) << "slot 1 byte " << i;
        EXPECT_EQ(bytes[40 + i], 0) << "slot 0 byte " << i;
    }

    writer.reset_last_write_time();
    bytes = read_file_bytes(guard.path());
    EXPECT_EQ(field_at<std::int64_t>(bytes, time_offset), not_a_date_time_bits);
    EXPECT_EQ(field_at<std::uint64_t>(bytes, count_offset), 1u);
    EXPECT_TRUE(writer.get_last_write_time().is_not_a_date_time());
}

TEST_F(PosixDoubleBuffer, NameWithAndWithoutLeadingSlashAddressTheSameObject) {
    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 2, 2);
    ASSERT_TRUE(writer.is_valid());
    posix_double_buffer_t reader(("/" + name).c_str(), bip::read_only, 2, 2);
    ASSERT_TRUE(reader.is_valid());
    EXPECT_EQ(reader.get_name(), "/" + name);
    writer.get_write_address()[0] = 0xAB;
    writer.release_write_sem();
    EXPECT_EQ(reader.get_read_address()[0], 0xAB);
}

TEST_F(PosixDoubleBuffer, ReaderBeforeWriterStaysSilentlyInvalidThenBecomesValid) {
    LogCapture log;
    posix_double_buffer_t reader(guard.c_str(), bip::read_only, 4, 2);
    EXPECT_FALSE(reader.is_valid());
    EXPECT_EQ(lines_besides_group_notices(log), 0u);
    EXPECT_EQ(reader.get_header(), nullptr);
    EXPECT_TRUE(reader.get_last_write_time().is_not_a_date_time());
    EXPECT_THROW(reader.grab_read_sem(), std::runtime_error);

    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 4, 2);
    ASSERT_TRUE(writer.is_valid());
    EXPECT_TRUE(reader.is_valid());
    EXPECT_NE(reader.get_header(), nullptr);
    EXPECT_NO_THROW(reader.grab_read_sem());
}

TEST_F(PosixDoubleBuffer, ReaderWithOtherDimensionsWaitsForTheWriter) {
    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 1920, 1080);
    ASSERT_TRUE(writer.is_valid());
    LogCapture log;
    posix_double_buffer_t reader(guard.c_str(), bip::read_only, 640, 480);
    EXPECT_FALSE(reader.is_valid());
    const std::string line = "Double Buffer " + name + " Wrong Size (" +
                             std::to_string(compute_size(1920, 1080)) +
                             " != " + std::to_string(compute_size(640, 480)) +
                             ") -- Waiting for Write Process to Truncate to Correct Size";
    // One line for the constructor's attempt and one for the retry of is_valid().
    EXPECT_TRUE(logged(log, line, debug, "posix_double_buffer", 2));
    // The reader never resizes.
    EXPECT_EQ(read_file_bytes(guard.path()).size(), compute_size(1920, 1080));
}

TEST_F(PosixDoubleBuffer, WriterReopeningCorrectSizeKeepsHeaderAndFrames) {
    {
        posix_double_buffer_t first(guard.c_str(), bip::read_write, 4, 2);
        ASSERT_TRUE(first.is_valid());
        first.release_write_sem();
        first.release_write_sem();
        first.release_write_sem();
    }
    const auto before = read_file_bytes(guard.path());
    LogCapture log;
    posix_double_buffer_t second(guard.c_str(), bip::read_write, 4, 2);
    ASSERT_TRUE(second.is_valid());
    EXPECT_TRUE(logged(log, "Size Correct (104)", debug));
    EXPECT_TRUE(log.with_message("Starting Header Reset").empty());
    EXPECT_EQ(read_file_bytes(guard.path()), before);
    EXPECT_EQ(field_at<std::uint64_t>(before, count_offset), 3u);
    EXPECT_EQ(field_at<std::uint32_t>(before, indicator_offset), 1u);
}

TEST_F(PosixDoubleBuffer, WriterWithOtherDimensionsResizesInPlaceAndResetsHeader) {
    {
        posix_double_buffer_t first(guard.c_str(), bip::read_write, 4, 2);
        ASSERT_TRUE(first.is_valid());
        first.release_write_sem();
    }
    ASSERT_TRUE(poke<std::int32_t>(name, owner_offset, 1));
    ASSERT_TRUE(poke<std::uint32_t>(name, indicator_offset, 9));
    struct stat before {};
    ASSERT_EQ(stat(guard.path().c_str(), &before), 0);

    LogCapture log;
    posix_double_buffer_t second(guard.c_str(), bip::read_write, 3, 3);
    ASSERT_TRUE(second.is_valid());
    EXPECT_TRUE(logged(
        log, "Double Buffer " + name + " Wrong Size (104 != 112) -- Recreating for Dimensions: 3x3",
        debug));
    EXPECT_TRUE(logged(log, "Double Buffer owned by PID: 1", debug));
    EXPECT_TRUE(logged(log, "Starting Header Reset", debug));

    struct stat after {};
    ASSERT_EQ(stat(guard.path().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino); // resized, never recreated
    const auto bytes = read_file_bytes(guard.path());
    ASSERT_EQ(bytes.size(), 112u);
    EXPECT_EQ(field_at<std::uint32_t>(bytes, width_offset), 3u);
    EXPECT_EQ(field_at<std::uint32_t>(bytes, height_offset), 3u);
    EXPECT_EQ(field_at<std::int32_t>(bytes, owner_offset), getpid());
    EXPECT_EQ(field_at<std::uint32_t>(bytes, indicator_offset), 0u);
    EXPECT_EQ(field_at<std::uint64_t>(bytes, count_offset), 0u);
    EXPECT_EQ(field_at<std::int64_t>(bytes, time_offset), not_a_date_time_bits);
}

// The writer pre-faults a resized object: the bytes that were there stay.
TEST_F(PosixDoubleBuffer, ResizeKeepsTheBytesAlreadyInTheObject) {
    {
        posix_double_buffer_t first(guard.c_str(), bip::read_write, 64, 64);
        ASSERT_TRUE(first.is_valid());
        std::memset(first.get_write_address(), 0x5a, 64 * 64 * 4);
        first.release_write_sem();
    }
    posix_double_buffer_t second(guard.c_str(), bip::read_write, 128, 64);
    ASSERT_TRUE(second.is_valid());
    const auto bytes = read_file_bytes(guard.path());
    ASSERT_EQ(bytes.size(), compute_size(128, 64));
    // Slot 1 of the first size: its frame bytes, then the zeroes the growth added.
    const std::size_t old_slot1 = sizeof(double_buffer_header_t) + 64 * 64 * 4;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const bool written = i >= old_slot1 && i < old_slot1 + 64 * 64 * 4;
        if (i < sizeof(double_buffer_header_t)) {
            continue;
        }
        ASSERT_EQ(bytes[i], written ? 0x5a : 0) << "byte " << i;
    }
}

TEST_F(PosixDoubleBuffer, WriterTakesOwnershipOnlyOfUnownedBuffers) {
    {
        posix_double_buffer_t first(guard.c_str(), bip::read_write, 2, 2);
        ASSERT_TRUE(first.is_valid());
    }
    ASSERT_TRUE(poke<std::int32_t>(name, owner_offset, 1));
    {
        LogCapture log;
        posix_double_buffer_t writer(guard.c_str(), bip::read_write, 2, 2);
        EXPECT_TRUE(writer.is_valid());
        EXPECT_TRUE(logged(log, "Double Buffer owned by PID: 1", debug));
        EXPECT_EQ(field_at<std::int32_t>(read_file_bytes(guard.path()), owner_offset), 1);
    }
    ASSERT_TRUE(poke<std::int32_t>(name, owner_offset, 0));
    {
        LogCapture log;
        posix_double_buffer_t writer(guard.c_str(), bip::read_write, 2, 2);
        EXPECT_TRUE(writer.is_valid());
        EXPECT_TRUE(logged(log, "Taking Ownership of " + name + " with PID: " + pid_text(), debug));
        EXPECT_EQ(field_at<std::int32_t>(read_file_bytes(guard.path()), owner_offset), getpid());
    }
    {
        // Its own id: neither line.
        LogCapture log;
        posix_double_buffer_t writer(guard.c_str(), bip::read_write, 2, 2);
        EXPECT_TRUE(writer.is_valid());
        EXPECT_TRUE(log.containing("owned by PID").empty());
        EXPECT_TRUE(log.containing("Taking Ownership").empty());
    }
}

TEST_F(PosixDoubleBuffer, DimensionlessWriterOnMissingNameLeavesEmptyObjectAndStaysInvalid) {
    LogCapture log;
    posix_double_buffer_t writer(guard.c_str(), bip::read_write);
    EXPECT_EQ(writer.get_header(), nullptr);
    EXPECT_TRUE(logged(log, "Read Only Shared Memory for: " + name + " is Invalid Size: 0", debug));
    ASSERT_TRUE(zorvtest::object_exists(name));
    EXPECT_EQ(read_file_bytes(guard.path()).size(), 0u);
}

TEST_F(PosixDoubleBuffer, DimensionlessHandleAdoptsHeaderDimensions) {
    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 6, 3);
    ASSERT_TRUE(writer.is_valid());
    posix_double_buffer_t reader(guard.c_str(), bip::read_only);
    ASSERT_TRUE(reader.is_valid());
    EXPECT_EQ(reader.get_width(), 6u);
    EXPECT_EQ(reader.get_height(), 3u);
    writer.get_write_address()[6 * 3 * 4 - 1] = 0x5A;
    writer.release_write_sem();
    EXPECT_EQ(reader.get_read_address(),
              reinterpret_cast<const guint8*>(reader.get_header()) + 40 + 6 * 3 * 4);
    EXPECT_EQ(reader.get_read_address()[6 * 3 * 4 - 1], 0x5A);
}

TEST_F(PosixDoubleBuffer, DimensionlessHandleRefusesHeaderDimensionsBeyondTheObject) {
    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 4, 2);
    ASSERT_TRUE(writer.is_valid());
    ASSERT_TRUE(poke<std::uint32_t>(name, width_offset, 1000));
    {
        LogCapture log;
        posix_double_buffer_t reader(guard.c_str(), bip::read_only);
        EXPECT_FALSE(reader.is_valid());
        EXPECT_EQ(reader.get_width(), 0u);
        EXPECT_TRUE(logged(log,
                           "Double Buffer " + name +
                               " Header Dimensions (1000x2) Exceed Shared Memory Size (104) -- "
                               "Waiting for Write Process",
                           debug, "posix_double_buffer", 2));
    }
    // Dimensions whose size wraps around 64 bits are refused as well.
    ASSERT_TRUE(poke<std::uint32_t>(name, width_offset, 0xFFFFFFFFu));
    ASSERT_TRUE(poke<std::uint32_t>(name, height_offset, 0xFFFFFFFFu));
    {
        posix_double_buffer_t reader(guard.c_str(), bip::read_only);
        EXPECT_FALSE(reader.is_valid());
    }
    // A header not yet written by its writer carries zero dimensions: wait instead of adopting.
    ASSERT_TRUE(poke<std::uint32_t>(name, width_offset, 0));
    ASSERT_TRUE(poke<std::uint32_t>(name, height_offset, 0));
    {
        LogCapture log;
        posix_double_buffer_t reader(guard.c_str(), bip::read_only);
        EXPECT_TRUE(logged(log,
                           "Double Buffer " + name +
                               " Header Dimensions (0x0) Not Yet Written -- Waiting for Write "
                               "Process",
                           debug));
        EXPECT_EQ(reader.get_width(), 0u);
        // Once the header is written the same handle retries and succeeds.
        ASSERT_TRUE(poke<std::uint32_t>(name, width_offset, 4));
        ASSERT_TRUE(poke<std::uint32_t>(name, height_offset, 2));
        EXPECT_TRUE(reader.is_valid());
        EXPECT_EQ(reader.get_width(), 4u);
        EXPECT_EQ(reader.get_height(), 2u);
    }
}

TEST_F(PosixDoubleBuffer, OverflowingDimensionsLeaveTheObjectUntouched) {
    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 4, 2);
    ASSERT_TRUE(writer.is_valid());
    const auto before = read_file_bytes(guard.path());
    expect_writer_refused(1ull << 61, "Size Exceeds 64 Bits");
    EXPECT_EQ(read_file_bytes(guard.path()), before);

    ShmGuard missing("_missing");
    posix_double_buffer_t third(missing.c_str(), bip::read_write, 1ull << 32, 1ull << 32);
    EXPECT_FALSE(third.is_valid());
    EXPECT_FALSE(zorvtest::object_exists(missing.name()));
}

TEST_F(PosixDoubleBuffer, DimensionsBeyondTheHeaderFieldsAreRefused) {
    // The size fits in 64 bits, but the header could only keep the low 32 bits of the width.
    expect_writer_refused((1ull << 32) + 2, "Header Holds 32-Bit Dimensions");
    EXPECT_FALSE(zorvtest::object_exists(name));
}

TEST_F(PosixDoubleBuffer, FailedOpenIsLoggedAndNeverThrown) {
    LogCapture log;
    // Boost refuses any mode but read_only and read_write.
    posix_double_buffer_t odd(guard.c_str(), bip::copy_on_write, 2, 2);
    EXPECT_FALSE(odd.is_valid());
    const auto lines =
        log.containing("Interprocess Exception Initializing Shared Memory: " + name + " -- ");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, error);
    EXPECT_FALSE(zorvtest::object_exists(name));

    EXPECT_THROW(posix_double_buffer_t(nullptr, bip::read_only), std::logic_error);
}

TEST_F(PosixDoubleBuffer, GroupNoticeFollowsTheZorvGroupLookup) {
    LogCapture log;
    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 2, 2);
    ASSERT_TRUE(writer.is_valid());
    const group* zorv = getgrnam("zorv");
    if (zorv == nullptr) {
        EXPECT_EQ(get_zorv_gid_t(), static_cast<gid_t>(-1));
        EXPECT_TRUE(logged(log, "Group zorv Does Not Exist", fatal, "posix_double_buffer", 2));
    } else {
        EXPECT_EQ(get_zorv_gid_t(), zorv->gr_gid);
        EXPECT_TRUE(log.with_message("Group zorv Does Not Exist").empty());
    }
    const std::string notice = "Process Not Running w/Group 'zorv' -- Double Buffer " + name +
                               " May Be Created With Group ID: " + std::to_string(getegid());
    if (zorv == nullptr || zorv->gr_gid != getegid()) {
        EXPECT_TRUE(logged(log, notice, debug));
    } else {
        EXPECT_TRUE(log.with_message(notice).empty());
    }
}

TEST_F(PosixDoubleBuffer, TransferMovesTheMappingAndSwapExchangesEverything) {
    posix_double_buffer_t source(guard.c_str(), bip::read_write, 2, 2);
    ASSERT_TRUE(source.is_valid());
    const double_buffer_header_t* header = source.get_header();
    posix_double_buffer_t target(source);
    EXPECT_EQ(target.get_header(), header);
    EXPECT_EQ(target.get_name(), name);
    EXPECT_EQ(target.get_width(), 2u);
    EXPECT_TRUE(target.is_valid());
    EXPECT_EQ(source.get_header(), nullptr);
    EXPECT_TRUE(source.is_valid()); // keeps its flag, but no header
    EXPECT_EQ(source.get_name(), name);
    {
        LogCapture log;
        expect_runtime_error([&] { source.get_read_address(); },
                             "Cannot Get Read Address -- Header is Null");
        expect_runtime_error([&] { source.get_write_address(); },
                             "Cannot Get Write Address -- Header is Null");
        EXPECT_TRUE(logged(log, "Cannot Get Read Address -- Header Is Null for: " + name, error));
        EXPECT_TRUE(logged(log, "Cannot Get Write Address -- Header Is Null for: " + name, error));
    }

    ShmGuard other_guard("_other");
    posix_double_buffer_t other(other_guard.c_str(), bip::read_only);
    EXPECT_FALSE(other.is_valid());
    target.swap(other);
    EXPECT_EQ(other.get_header(), header);
    EXPECT_EQ(other.get_name(), name);
    EXPECT_EQ(other.get_width(), 2u);
    EXPECT_EQ(target.get_name(), other_guard.name());
    EXPECT_EQ(target.get_header(), nullptr);
    EXPECT_EQ(target.get_width(), 0u);
    EXPECT_NO_THROW(other.get_write_address()); // mode moved with it
    EXPECT_THROW(target.get_write_address(), std::runtime_error);
}

class PosixDoubleBufferExchange : public PosixDoubleBuffer {
protected:
    void SetUp() override {
        ASSERT_TRUE(writer.is_valid());
        ASSERT_TRUE(reader.is_valid());
    }
    posix_double_buffer_t writer{guard.c_str(), bip::read_write, 2, 2};
    posix_double_buffer_t reader{guard.c_str(), bip::read_only, 2, 2};
    const guint8* writer_base() const {
        return reinterpret_cast<const guint8*>(writer.get_header());
    }
    const guint8* reader_base() const {
        return reinterpret_cast<const guint8*>(reader.get_header());
    }
    std::uint32_t indicator() const {
        return field_at<std::uint32_t>(read_file_bytes(guard.path()), indicator_offset);
    }
    std::uint64_t frame_count() const {
        return field_at<std::uint64_t>(read_file_bytes(guard.path()), count_offset);
    }
};

TEST_F(PosixDoubleBufferExchange, IndicatorNamesTheReadSlotAndPublicationFlipsIt) {
    LogCapture log;
    EXPECT_EQ(reader.get_read_address(), reader_base() + 40);
    writer.grab_write_sem();
    EXPECT_EQ(writer.get_write_address(), writer_base() + 56);
    writer.release_write_sem();
    EXPECT_EQ(indicator(), 1u);
    reader.grab_read_sem();
    EXPECT_EQ(reader.get_read_address(), reader_base() + 56);
    reader.release_read_sem();
    EXPECT_EQ(writer.get_write_address(), writer_base() + 40);
    writer.release_write_sem();
    EXPECT_EQ(indicator(), 0u);
    EXPECT_EQ(reader.get_read_address(), reader_base() + 40);
    writer.release_write_sem();
    EXPECT_EQ(frame_count(), 3u);

    EXPECT_TRUE(logged(log, "Read(0): " + name, trace, "posix_double_buffer", 2));
    EXPECT_TRUE(logged(log, "Read(1): " + name, trace));
    EXPECT_TRUE(logged(log, "Write(0): " + name, trace));
    EXPECT_TRUE(logged(log, "Write(1): " + name, trace));
    const std::string stamp = boost::posix_time::to_simple_string(writer.get_last_write_time());
    EXPECT_TRUE(logged(log, "Flipped to: 1 @ " + stamp + " Frame Count: 3", trace));
    const auto reads = log.containing("Read: 1 @ ");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].level, trace);
    EXPECT_NE(reads[0].message.find(" Frame Count: 1"), std::string::npos);
}

TEST_F(PosixDoubleBufferExchange, InvalidIndicatorIsReportedAndRepairedOnlyByWriters) {
    ASSERT_TRUE(poke<std::uint32_t>(name, indicator_offset, 7));
    LogCapture log;
    const std::string read_error = "Invalid Shared Memory Read Buffer Indicator: 7 for " + name +
                                   " -- Returning Read Buffer 0";
    EXPECT_EQ(reader.get_read_address(), reader_base() + 40);
    EXPECT_TRUE(logged(log, read_error, error));
    EXPECT_EQ(indicator(), 7u); // the reader cannot write

    EXPECT_EQ(writer.get_read_address(), writer_base() + 40);
    EXPECT_TRUE(logged(log, read_error, error, "posix_double_buffer", 2));
    EXPECT_EQ(indicator(), 0u);

    ASSERT_TRUE(poke<std::uint32_t>(name, indicator_offset, 7));
    EXPECT_EQ(writer.get_write_address(), writer_base() + 56);
    EXPECT_TRUE(logged(log,
                       "Invalid Shared Memory Read Buffer Indicator: 7 for " + name +
                           " -- Returning Writer Buffer 1",
                       error));
    EXPECT_EQ(indicator(), 0u);
    writer.release_write_sem();
    EXPECT_EQ(indicator(), 1u); // names the slot just written
    EXPECT_EQ(reader.get_read_address(), reader_base() + 56);
}

TEST_F(PosixDoubleBufferExchange, PublicationWithInvalidIndicatorStillCountsAndStamps) {
    ASSERT_TRUE(poke<std::uint32_t>(name, indicator_offset, 7));
    LogCapture log;
    writer.release_write_sem();
    EXPECT_TRUE(logged(log,
                       "Last Write Left Buffer Indicator in Invalid State for: " + name +
                           " -- Buffer Indicator: 7",
                       error));
    EXPECT_EQ(indicator(), 7u);
    EXPECT_EQ(frame_count(), 1u);
    EXPECT_FALSE(writer.get_last_write_time().is_not_a_date_time());
}

TEST_F(PosixDoubleBufferExchange, ReaderCannotAskForTheWriteSlot) {
    LogCapture log;
    expect_runtime_error([&] { reader.get_write_address(); },
                         "Unexpected Call to get_write_address() On Read Only Double Buffer");
    EXPECT_TRUE(logged(
        log, "Unexpected Call to get_write_address() On Read Only Double Buffer: " + name, error));

    // Even without a header the mode is tested first.
    ShmGuard missing("_missing");
    posix_double_buffer_t unopened(missing.c_str(), bip::read_only, 2, 2);
    ASSERT_EQ(unopened.get_header(), nullptr);
    expect_runtime_error([&] { unopened.get_write_address(); },
                         "Unexpected Call to get_write_address() On Read Only Double Buffer");
    for (auto grab :
         {&posix_double_buffer_t::grab_read_sem, &posix_double_buffer_t::grab_write_sem}) {
        expect_runtime_error([&] { (unopened.*grab)(); },
                             "Attempted to Grab Write Sem on Invalid Buffer");
    }
}

TEST_F(PosixDoubleBufferExchange, HeaderlessAndReadOnlyHandlesRefuseHeaderOperations) {
    writer.release_write_sem();
    const auto before = read_file_bytes(guard.path());
    {
        LogCapture log;
        reader.release_write_sem();
        reader.reset_last_write_time();
        EXPECT_EQ(log.count_at(error), 2u);
        EXPECT_EQ(lines_besides_group_notices(log), 2u);
        EXPECT_EQ(read_file_bytes(guard.path()), before);
    }
    posix_double_buffer_t moved(writer); // leaves `writer` without a mapping
    ASSERT_EQ(writer.get_header(), nullptr);
    LogCapture log;
    writer.release_read_sem();
    writer.release_write_sem();
    writer.wait_for_write(ptime()); // would never return if it polled
    writer.reset_last_write_time();
    EXPECT_EQ(log.count_at(error), 4u);
    EXPECT_EQ(log.lines().size(), 4u);
    EXPECT_TRUE(writer.get_last_write_time().is_not_a_date_time());
    EXPECT_EQ(read_file_bytes(guard.path()), before);
}

TEST_F(PosixDoubleBufferExchange, WaitWithPastDeadlineReturnsAfterOnePoll) {
    writer.release_write_sem(); // published before the wait: must not end it
    const ptime seen = reader.get_last_write_time();
    LogCapture log;
    const auto started = std::chrono::steady_clock::now();
    reader.wait_for_write(boost::posix_time::microsec_clock::local_time() -
                          boost::posix_time::seconds(1));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(reader.get_last_write_time(), seen);
    const std::string stamp = boost::posix_time::to_simple_string(seen);
    EXPECT_TRUE(logged(log, "Waiting for Write Starting At: " + stamp, trace));
    EXPECT_TRUE(logged(log, "Write Occurred At: " + stamp, trace));
}

TEST_F(PosixDoubleBufferExchange, WaitEndsAtTheDeadlineWhenNothingIsPublished) {
    writer.release_write_sem();
    const auto started = std::chrono::steady_clock::now();
    reader.wait_for_write(boost::posix_time::microsec_clock::local_time() +
                          boost::posix_time::milliseconds(30));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(30));
}

} // namespace
