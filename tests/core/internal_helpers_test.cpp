// SPDX-License-Identifier: LGPL-2.1-or-later
// Shared double buffer helpers: slot choice against the mapping, size overflow, header stores.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/sysv_double_buffer.h>

#include "internal/buffer_geometry.h"
#include "internal/header_updates.h"
#include "internal/prefault.h"

namespace {

using namespace zorvgst::detail;

TEST(BufferGeometry, SlotsFollowTheIndicatorForBothSides) {
    // 2 x 2 frames: slot 0 at 40, slot 1 at 56, 72 bytes in all.
    struct case_t {
        std::uint32_t indicator;
        std::uint64_t read_offset;
        std::uint64_t write_offset;
    };
    for (const case_t c : {case_t{0, 40, 56}, case_t{1, 56, 40}}) {
        std::uint32_t field = c.indicator;
        const slot_choice read = choose_read_slot(field, true, 2, 2, 72);
        const slot_choice write = choose_write_slot(field, 2, 2, 72);
        EXPECT_TRUE(read.fits && read.indicator_valid && write.fits && write.indicator_valid);
        EXPECT_EQ(read.indicator, c.indicator);
        EXPECT_EQ(read.offset, c.read_offset);
        EXPECT_EQ(write.offset, c.write_offset);
        EXPECT_EQ(field, c.indicator);
    }
}

TEST(BufferGeometry, InvalidIndicatorFallsBackAndIsRepairedOnlyWhereAllowed) {
    std::uint32_t field = 7;
    slot_choice read = choose_read_slot(field, false, 2, 2, 72);
    EXPECT_FALSE(read.indicator_valid);
    EXPECT_EQ(read.indicator, 7u);
    EXPECT_EQ(read.offset, 40u);
    EXPECT_EQ(field, 7u); // a read-only mapping is never written
    read = choose_read_slot(field, true, 2, 2, 72);
    EXPECT_EQ(read.offset, 40u);
    EXPECT_EQ(field, 0u);
    field = 7;
    const slot_choice write = choose_write_slot(field, 2, 2, 72);
    EXPECT_FALSE(write.indicator_valid);
    EXPECT_EQ(write.offset, 56u);
    EXPECT_EQ(field, 0u); // the next flip names the slot written now
}

TEST(BufferGeometry, SlotsOutsideTheMappingAreNeverChosen) {
    std::uint32_t field = 7;
    EXPECT_FALSE(choose_read_slot(field, true, 2, 2, 71).fits);
    EXPECT_FALSE(choose_write_slot(field, 2, 2, 71).fits);
    EXPECT_EQ(field, 7u); // nothing is repaired through a mapping that is too short
    EXPECT_TRUE(choose_write_slot(field, 2, 2, 72).fits);

    const std::uint64_t huge = std::uint64_t{1} << 32;
    std::uint64_t size = 0;
    EXPECT_FALSE(checked_buffer_size(huge, huge, size)); // 2^67 bytes would wrap
    EXPECT_FALSE(slots_fit(huge, huge, std::numeric_limits<std::uint64_t>::max()));
    EXPECT_FALSE(checked_buffer_size(std::numeric_limits<std::uint64_t>::max() / 8, 1, size));
    ASSERT_TRUE(checked_buffer_size(1920, 1080, size));
    EXPECT_EQ(size, compute_size(1920, 1080));
}

TEST(HeaderUpdates, PublicationFlipsValidIndicatorsOnly) {
    std::uint32_t field = 0;
    std::uint32_t seen = 99;
    EXPECT_TRUE(flip_indicator(field, seen));
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(field, 1u);
    EXPECT_TRUE(flip_indicator(field, seen));
    EXPECT_EQ(field, 0u);
    field = 7;
    EXPECT_FALSE(flip_indicator(field, seen));
    EXPECT_EQ(seen, 7u);
    EXPECT_EQ(field, 7u);

    sysv_double_buffer::sysv_double_buffer_header_t header{};
    header.frame_count = 4;
    stamp_publication(header, boost::posix_time::microsec_clock::local_time());
    EXPECT_EQ(header.frame_count, 5u);
    EXPECT_FALSE(header.last_write_time.is_special());
}

TEST(HeaderUpdates, ResetKeepsAValidIndicatorAndClaimsOnlyAFreeBuffer) {
    double_buffer_header_t header{};
    header.buffer_indicator = 1;
    header.frame_count = 9;
    header.last_write_time = boost::posix_time::microsec_clock::local_time();
    reset_frame_fields(header, 4, 2);
    EXPECT_EQ(header.buffer_indicator, 1u);
    EXPECT_EQ(header.frame_count, 0u);
    EXPECT_TRUE(header.last_write_time.is_not_a_date_time());
    EXPECT_EQ(header.width, 4u);
    EXPECT_EQ(header.height, 2u);
    header.buffer_indicator = 7;
    reset_frame_fields(header, 4, 2);
    EXPECT_EQ(header.buffer_indicator, 0u);

    // Unowned: taken. Owned by a live process (this one): kept. Owned by an exited one: taken.
    header.owner_pid = 0;
    const pid_t live = getpid();
    owner_claim claim = claim_owner_if_free(header.owner_pid, live);
    EXPECT_TRUE(claim.taken);
    EXPECT_EQ(claim.previous, 0);
    EXPECT_EQ(header.owner_pid, live);
    claim = claim_owner_if_free(header.owner_pid, 99);
    EXPECT_FALSE(claim.taken);
    EXPECT_EQ(claim.previous, live);
    EXPECT_EQ(header.owner_pid, live);

    const pid_t exited = fork();
    if (exited == 0) {
        _exit(0);
    }
    ASSERT_GT(exited, 0);
    ASSERT_EQ(waitpid(exited, nullptr, 0), exited);
    header.owner_pid = exited;
    claim = claim_owner_if_free(header.owner_pid, live);
    EXPECT_TRUE(claim.taken);
    EXPECT_EQ(claim.previous, exited);
    EXPECT_EQ(header.owner_pid, live);
}

TEST(Prefault, PopulatesWritableMappingsWithoutTouchingTheBytes) {
    constexpr std::size_t length = 64 * 4096 + 100; // ends inside a page
    void* mapping =
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    auto* bytes = static_cast<unsigned char*>(mapping);
    for (std::size_t i = 0; i < length; i += 4096 / 2) {
        bytes[i] = static_cast<unsigned char>(i / 2048 + 1);
    }
    errno = 1234;
    const int error = prefault_for_writing(mapping, length);
    EXPECT_TRUE(error == 0 || prefault_unsupported(error)) << std::strerror(error);
    EXPECT_EQ(errno, 1234); // the caller's errno survives, whatever the kernel said
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char expected = i % 2048 == 0 ? static_cast<unsigned char>(i / 2048 + 1) : 0;
        ASSERT_EQ(bytes[i], expected) << "byte " << i;
    }
    EXPECT_EQ(prefault_for_writing(nullptr, length), 0);
    EXPECT_EQ(prefault_for_writing(mapping, 0), 0);
    munmap(mapping, length);

    // A read-only mapping cannot be made writable: refused, and nothing else happens.
    void* read_only = mmap(nullptr, 4096, PROT_READ, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(read_only, MAP_FAILED);
    EXPECT_NE(prefault_for_writing(read_only, 4096), 0);
    EXPECT_EQ(static_cast<unsigned char*>(read_only)[0], 0);
    munmap(read_only, 4096);
}

} // namespace
