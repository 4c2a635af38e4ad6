// SPDX-License-Identifier: LGPL-2.1-or-later
// Double buffer layout: the size formula and the time encoding other processes rely on.
#include <cstring>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <gtest/gtest.h>

#include <zorvgst/posix_double_buffer.h>

namespace {

using boost::posix_time::ptime;

std::int64_t raw_bits(const ptime& time) {
    std::int64_t bits;
    std::memcpy(&bits, &time, sizeof(bits));
    return bits;
}

TEST(DoubleBufferLayout, SizeIsHeaderPlusTwoUnpaddedSlots) {
    EXPECT_EQ(compute_size(1920, 1080), 1920ull * 1080 * 8 + 40);
    EXPECT_EQ(compute_size(0, 1080), 40u);
    EXPECT_EQ(compute_size(1080, 0), 40u);
    EXPECT_EQ(compute_size(3, 1), 64u); // never rounded to a page
    EXPECT_EQ(compute_size(2, 2), 72u);
}

TEST(DoubleBufferLayout, SizeWrapsInSixtyFourBits) {
    EXPECT_EQ(compute_size(1ull << 61, 1), 40u);
    EXPECT_EQ(compute_size(1ull << 32, 1ull << 32), 40u);
}

TEST(DoubleBufferLayout, LastWriteTimeIsBoostMicrosecondPtime) {
    EXPECT_EQ(raw_bits(ptime(boost::date_time::not_a_date_time)), 0x7FFFFFFFFFFFFFFELL);
    EXPECT_EQ(raw_bits(ptime(boost::date_time::pos_infin)), 0x7FFFFFFFFFFFFFFFLL);
    EXPECT_EQ(raw_bits(ptime(boost::date_time::neg_infin)),
              static_cast<std::int64_t>(0x8000000000000000ULL));

    const boost::gregorian::date day(2026, 12, 7);
    EXPECT_EQ(raw_bits(ptime(day)), static_cast<std::int64_t>(day.julian_day()) * 86400000000LL);
    const ptime later(day, boost::posix_time::microseconds(1234567));
    EXPECT_EQ(raw_bits(later),
              static_cast<std::int64_t>(day.julian_day()) * 86400000000LL + 1234567);
}

TEST(DoubleBufferLayout, HeaderFieldsLandAtTheirOffsets) {
    double_buffer_header_t header{};
    header.buffer_indicator = 1;
    header.width = 1920;
    header.height = 1080;
    header.owner_pid = 4242;
    header.frame_count = 0x0102030405060708ULL;
    unsigned char bytes[40];
    std::memcpy(bytes, &header, sizeof(bytes));
    std::uint32_t u32;
    std::memcpy(&u32, bytes + 4, 4);
    EXPECT_EQ(u32, 1u);
    std::memcpy(&u32, bytes + 16, 4);
    EXPECT_EQ(u32, 1920u);
    std::memcpy(&u32, bytes + 20, 4);
    EXPECT_EQ(u32, 1080u);
    std::int32_t pid;
    std::memcpy(&pid, bytes + 24, 4);
    EXPECT_EQ(pid, 4242);
    EXPECT_EQ(bytes[32], 0x08); // native little-endian order
}

} // namespace
