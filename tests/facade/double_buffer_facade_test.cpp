// SPDX-License-Identifier: LGPL-2.1-or-later
// The double_buffer_t facade, buffer names, the buffer-type probe and the forwarding functions.
#include <algorithm>
#include <stdexcept>

#include <boost/interprocess/exceptions.hpp>
#include <gtest/gtest.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>

#include "support/capture_appender.h"
#include "support/double_buffer_test_util.h"
#include "support/raw_shm.h"
#include "support/shm_guard.h"

namespace {

namespace bip = boost::interprocess;
using namespace dbtest;
using zorvtest::LogCapture;
using zorvtest::ShmGuard;

TEST(BufferNames, SuffixesFollowTheBaseNameUnchanged) {
    EXPECT_EQ(shared_memory_video_buffer_id("cam1"), "cam1_buffer");
    EXPECT_EQ(shared_memory_video_overlay_buffer_id("cam1"), "cam1_overlay_buffer");
    EXPECT_EQ(shared_memory_video_preview_buffer_id("cam1"), "cam1_preview_buffer");
    EXPECT_EQ(shared_memory_video_buffer_id("/a b"), "/a b_buffer");
    EXPECT_EQ(shared_memory_video_buffer_id(""), "_buffer");
    EXPECT_EQ(shared_memory_video_overlay_buffer_id(""), "_overlay_buffer");
    EXPECT_EQ(shared_memory_video_preview_buffer_id(""), "_preview_buffer");
    EXPECT_THROW(shared_memory_video_buffer_id(nullptr), std::logic_error);
}

TEST(BufferType, ProbeReadsTheFirstWord) {
    ShmGuard guard;
    {
        double_buffer_t writer(guard.c_str(), bip::read_write, 2, 2);
        ASSERT_TRUE(writer.is_valid());
    }
    EXPECT_EQ(get_buffer_type(guard.name()), double_buffer_type);
    EXPECT_EQ(get_buffer_type("/" + guard.name()), double_buffer_type);

    std::vector<unsigned char> bytes(8, 0);
    bytes[0] = 7;
    ASSERT_TRUE(zorvtest::create_raw_object(guard.name(), bytes));
    EXPECT_EQ(static_cast<std::uint32_t>(get_buffer_type(guard.name())), 7u);
}

TEST(BufferType, TooSmallObjectIsReportedAsInvalidType) {
    ShmGuard guard;
    ASSERT_TRUE(zorvtest::create_raw_object(guard.name(), {1, 2, 3}));
    LogCapture log;
    EXPECT_EQ(get_buffer_type(guard.name()), invalid_buffer_type);
    EXPECT_TRUE(logged(log, "Invalid Buffer Size: 3", error, "zorvgst"));
    const auto lines = log.with_message("Invalid Buffer Size: 3");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].function, "buffer_type_t get_buffer_type(const string&)");
}

TEST(BufferType, MissingObjectThrows) {
    ShmGuard guard;
    LogCapture log;
    EXPECT_THROW(get_buffer_type(guard.name()), bip::interprocess_exception);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(zorvtest::object_exists(guard.name()));
}

TEST(DoubleBufferFacade, ReaderBecomesValidOnceTheWriterHasSizedTheBuffer) {
    ShmGuard guard;
    double_buffer_t reader(guard.c_str(), bip::read_only);
    EXPECT_FALSE(reader.is_valid());
    double_buffer_t writer(guard.c_str(), bip::read_write, 4, 2);
    ASSERT_TRUE(writer.is_valid());
    ASSERT_TRUE(reader.is_valid());
    EXPECT_EQ(reader.get_width(), 4ul);
    EXPECT_EQ(reader.get_height(), 2ul);
    EXPECT_EQ(reader.get_name(), guard.name());

    writer.grab_write_sem();
    writer.get_write_address()[0] = 0x11;
    writer.release_write_sem();
    reader.grab_read_sem();
    EXPECT_EQ(reader.get_read_address()[0], 0x11);
    reader.release_read_sem();
    EXPECT_FALSE(reader.get_last_write_time().is_not_a_date_time());
    writer.reset_last_write_time();
    EXPECT_TRUE(reader.get_last_write_time().is_not_a_date_time());
    writer.wait_for_write(boost::posix_time::microsec_clock::local_time() -
                          boost::posix_time::seconds(1));
    EXPECT_THROW(reader.get_write_address(), std::runtime_error);
}

TEST(DoubleBufferFacade, TransferTakesTheMappingAndSwapExchangesBuffers) {
    ShmGuard first_guard("_first");
    ShmGuard second_guard("_second");
    double_buffer_t first(first_guard.c_str(), bip::read_write, 2, 2);
    double_buffer_t second(second_guard.c_str(), bip::read_write, 4, 4);
    ASSERT_TRUE(first.is_valid());
    ASSERT_TRUE(second.is_valid());

    double_buffer_t taken(first);
    EXPECT_NO_THROW(taken.get_read_address());
    try {
        first.get_read_address();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot Get Read Address -- Header is Null");
    }

    taken.swap(second);
    EXPECT_EQ(taken.get_name(), second_guard.name());
    EXPECT_EQ(taken.get_width(), 4ul);
    EXPECT_EQ(second.get_name(), first_guard.name());
    EXPECT_EQ(second.get_width(), 2ul);
    second.get_write_address()[0] = 0x77;
    second.release_write_sem();
    const auto bytes = zorvtest::read_file_bytes(first_guard.path());
    ASSERT_EQ(bytes.size(), 72u);
    EXPECT_EQ(bytes[56], 0x77);
}

TEST(DoubleBufferFacade, DefaultFacadeNeverBecomesValid) {
    double_buffer_t empty;
    LogCapture log;
    EXPECT_FALSE(empty.is_valid());
    EXPECT_FALSE(empty.is_valid());
    EXPECT_EQ(log.containing("Interprocess Exception Initializing Shared Memory:  -- ").size(), 2u);
    EXPECT_EQ(log.count_at(error), 2u);
    EXPECT_EQ(empty.get_name(), "");
    EXPECT_THROW(double_buffer_t(nullptr, bip::read_only), std::logic_error);
}

TEST(DoubleBufferFacade, DiscoveryFunctionsForwardToTheBackend) {
    ShmGuard guard;
    {
        double_buffer_t writer(guard.c_str(), bip::read_write, 2, 2);
        ASSERT_TRUE(writer.is_valid());
    }
    EXPECT_EQ(get_double_buffer_owner(guard.name()), getpid());
    const auto names = get_double_buffer_names();
    EXPECT_NE(std::find(names.begin(), names.end(), guard.name()), names.end());
    const auto listed = get_double_buffer_names("/dev/shm");
    EXPECT_NE(std::find(listed.begin(), listed.end(), guard.name()), listed.end());
    EXPECT_FALSE(double_buffer_t::remove_double_buffer_if_owner_pid_expired(guard.c_str()));
    double_buffer_t::remove(guard.c_str());
    EXPECT_FALSE(zorvtest::object_exists(guard.name()));
}

} // namespace
