// SPDX-License-Identifier: LGPL-2.1-or-later
// Readers of a frame ring whose header another process scribbled on: nothing attaches to a
// header that does not describe the object exactly, and nothing read per frame is trusted.
#include <cstring>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include <zorvgst/frames.h>

#include "support/case_name.h"
#include "support/raw_ring.h"
#include "support/shm_guard.h"

namespace {

using namespace std::chrono_literals;
using zorvgst::detail::ring::ring_header;
using zorvgst::detail::ring::slot_record;

struct corruption {
    const char* name;
    std::function<void(ring_header&)> apply;
};

/// A ring of one NV12 frame, its writer gone, as a peer finds it.
void make_ring(const std::string& name) {
    zorvgst::frame_writer writer(name, zorvgst::frame_format::of("NV12", 48, 32));
    std::memset(writer.frame(), 3, writer.format().size);
    writer.publish();
}

void PrintTo(const corruption& c, std::ostream* out) {
    *out << c.name;
}

class CorruptRingHeader : public ::testing::TestWithParam<corruption> {};

TEST_P(CorruptRingHeader, IsNeverAttached) {
    zorvtest::ShmGuard guard;
    make_ring(guard.name());
    {
        zorvtest::RawRing raw(guard.name());
        ASSERT_TRUE(raw.mapped());
        GetParam().apply(raw.header());
    }
    zorvgst::frame_reader reader(guard.name());
    EXPECT_FALSE(reader.ready());
    EXPECT_FALSE(reader.wait(50ms));
    EXPECT_FALSE(reader.hold());
}

void unterminated(char* field, std::size_t size) {
    std::memset(field, 'A', size);
}

INSTANTIATE_TEST_SUITE_P(
    EveryGeometryField, CorruptRingHeader,
    ::testing::Values(
        corruption{"Magic", [](ring_header& h) { h.magic ^= 1; }},
        corruption{"Version", [](ring_header& h) { h.version = 99; }},
        corruption{"NoSlots", [](ring_header& h) { h.slot_count = 0; }},
        corruption{"MoreSlotsThanTheObjectHolds", [](ring_header& h) { h.slot_count += 1; }},
        corruption{"HugeSlotCount", [](ring_header& h) { h.slot_count = 0xffffffffu; }},
        corruption{"MoreReaders", [](ring_header& h) { h.reader_count = 65; }},
        corruption{"MoreLeases", [](ring_header& h) { h.leases_per_reader = 17; }},
        corruption{"HeaderBytes", [](ring_header& h) { h.header_bytes += 4096; }},
        corruption{"SlotBytes", [](ring_header& h) { h.slot_bytes = 1; }},
        corruption{"TotalBytes", [](ring_header& h) { h.total_bytes *= 2; }},
        corruption{"FrameLargerThanItsSlot", [](ring_header& h) { h.frame_bytes = h.slot_bytes; }},
        corruption{"FrameOfAByte", [](ring_header& h) { h.frame_bytes = 1; }},
        corruption{"MetadataPastTheSlot",
                   [](ring_header& h) { h.metadata_capacity = h.slot_bytes; }},
        corruption{"PlaneOutsideTheFrame",
                   [](ring_header& h) { h.planes[1].offset = h.frame_bytes; }},
        corruption{"StrideShorterThanARow", [](ring_header& h) { h.planes[0].stride = 8; }},
        corruption{"HugeStride", [](ring_header& h) { h.planes[1].stride = ~0ull / 2; }},
        corruption{"NoPlanes", [](ring_header& h) { h.plane_count = 0; }},
        corruption{"FivePlanes", [](ring_header& h) { h.plane_count = 5; }},
        corruption{"UnknownFormat", [](ring_header& h) { std::strcpy(h.format, "XYZ"); }},
        corruption{"FormatOfAnotherPlaneCount",
                   [](ring_header& h) { std::strcpy(h.format, "I420"); }},
        corruption{"UnterminatedFormat",
                   [](ring_header& h) { unterminated(h.format, sizeof(h.format)); }},
        corruption{"UnterminatedCaps",
                   [](ring_header& h) { unterminated(h.caps, sizeof(h.caps)); }},
        corruption{"WidthBeyondTheFrame", [](ring_header& h) { h.width = 32768; }},
        corruption{"Retired", [](ring_header& h) { h.width = 0; }}),
    zorvtest::case_name{});

TEST(CorruptRingFrame, RecordsThatNameNoWholeFrameGiveNothing) {
    zorvtest::ShmGuard guard;
    make_ring(guard.name());
    zorvtest::RawRing raw(guard.name());
    ASSERT_TRUE(raw.mapped());
    zorvgst::frame_reader reader(guard.name());
    ASSERT_TRUE(reader.wait(1s));
    std::vector<std::uint8_t> copied(reader.format()->size);
    const std::uint32_t newest = raw.header().newest_slot;

    raw.header().newest_slot = 1000;
    EXPECT_FALSE(reader.hold());
    EXPECT_FALSE(reader.copy(copied.data(), copied.size()));

    raw.header().newest_slot = newest;
    raw.record(newest).sequence |= 1; // "being written"
    EXPECT_FALSE(reader.hold());
    EXPECT_FALSE(reader.copy(copied.data(), copied.size()));

    raw.record(newest).sequence += 1;
    raw.record(newest).metadata_size = ~0ull;
    const auto lease = reader.hold();
    ASSERT_TRUE(lease);
    EXPECT_EQ(lease->metadata_size(), 4096u) << "clamped to what the slot holds";
    std::vector<std::uint8_t> metadata;
    EXPECT_TRUE(reader.copy(copied.data(), copied.size(), nullptr, &metadata));
    EXPECT_EQ(metadata.size(), 4096u);
}

TEST(CorruptRingFrame, GarbageLeaseWordsNeverStopTheWriter) {
    zorvtest::ShmGuard guard;
    zorvgst::frame_writer writer(guard.name(), zorvgst::frame_format::of("GRAY8", 16, 16));
    zorvtest::RawRing raw(guard.name());
    ASSERT_TRUE(raw.mapped());
    // Every word of the table, owners included, random: slots beyond the ring, dead owners.
    const auto& header = raw.header();
    std::uint64_t value = 0x9E3779B97F4A7C15ull;
    for (std::uint32_t entry = 0; entry < header.reader_count; ++entry) {
        std::uint64_t* words = raw.reader_entry(entry);
        for (std::uint32_t i = 0; i <= header.leases_per_reader; ++i) {
            value = value * 6364136223846793005ull + 1442695040888963407ull;
            words[i] = value;
        }
    }
    for (int frame = 0; frame < 50; ++frame) {
        std::memset(writer.frame(), frame, writer.format().size);
        writer.publish();
    }
    EXPECT_EQ(header.frame_count, 50u);
    zorvgst::frame_reader reader(guard.name());
    ASSERT_TRUE(reader.wait(1s));
    std::vector<std::uint8_t> copied(writer.format().size);
    const auto info = reader.copy(copied.data(), copied.size());
    ASSERT_TRUE(info);
    EXPECT_EQ(copied[0], 49);
}

} // namespace
