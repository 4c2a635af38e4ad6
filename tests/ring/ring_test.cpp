// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame ring through the frame API: every format byte for byte, leases that outlast any
// number of publications, readers beyond the table, a writer that changes format or kind.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/frames.h>
#include <zorvgst/inventory.h>

#include "internal/ring/process_identity.h"
#include "support/case_name.h"
#include "support/child_process.h"
#include "support/frames.h"
#include "support/raw_ring.h"
#include "support/shm_guard.h"

namespace {

using namespace std::chrono_literals;
using zorvgst::buffer_layout;
using zorvgst::frame_format;
using zorvgst::frame_lease;
using zorvgst::frame_reader;
using zorvgst::frame_timing;
using zorvgst::frame_writer;
using zorvgst::ring_options;
using zorvtest::pattern_bytes;
using zorvtest::RawRing;
using zorvtest::ShmGuard;

/// Fills the whole frame (planes and the padding between rows) with a pattern of `seed`.
void draw_pattern(frame_writer& writer, unsigned seed) {
    const auto pattern = pattern_bytes(writer.format().size, seed);
    std::memcpy(writer.frame(), pattern.data(), pattern.size());
}

/// Publishes a frame whose every byte is `value`.
void publish_uniform(frame_writer& writer, std::uint8_t value) {
    std::memset(writer.frame(), value, writer.format().size);
    writer.publish();
}

/// Publishes a frame whose every byte is `value` and leases it once `reader` has seen it; empty
/// when the reader saw no frame or may hold no more.
std::optional<frame_lease> publish_and_hold(frame_writer& writer, frame_reader& reader,
                                            std::uint8_t value) {
    publish_uniform(writer, value);
    EXPECT_TRUE(reader.wait(2s)) << "the frame of " << int{value} << " was not seen";
    return reader.hold();
}

bool lease_holds(const frame_lease& lease, std::uint8_t value) {
    for (std::size_t i = 0; i < lease.format().size; ++i) {
        if (lease.data()[i] != value) {
            return false;
        }
    }
    return true;
}

struct format_case {
    const char* name;
    const char* format;
    unsigned width;
    unsigned height;
};

class RingFormats : public ::testing::TestWithParam<format_case> {};

TEST_P(RingFormats, FramesArriveByteForByteCopiedAndLeased) {
    const format_case& param = GetParam();
    ShmGuard guard;
    const frame_format format = frame_format::of(param.format, param.width, param.height);
    ASSERT_TRUE(format.consistent());
    frame_writer writer(guard.name(), format);
    EXPECT_EQ(writer.layout(), buffer_layout::frame_ring);
    frame_reader reader(guard.name());

    draw_pattern(writer, 7);
    const char note[] = "box 3 4 10 12";
    std::memcpy(writer.metadata(), note, sizeof(note));
    writer.publish(frame_timing{123456789, 16666667, 5}, sizeof(note));
    const auto expected = pattern_bytes(format.size, 7);

    ASSERT_TRUE(reader.wait(2s));
    ASSERT_TRUE(reader.format());
    EXPECT_EQ(*reader.format(), format);
    EXPECT_EQ(reader.layout(), buffer_layout::frame_ring);

    std::vector<std::uint8_t> copied(format.size);
    std::vector<std::uint8_t> metadata;
    frame_timing timing;
    const auto info = reader.copy(copied.data(), copied.size(), &timing, &metadata);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->number, 1u);
    EXPECT_EQ(info->width, param.width);
    EXPECT_EQ(zorvtest::first_difference(copied, expected), "");
    EXPECT_EQ(timing.pts_ns, 123456789);
    EXPECT_EQ(timing.duration_ns, 16666667);
    EXPECT_EQ(timing.flags, 5u);
    EXPECT_EQ(std::string(metadata.begin(), metadata.end()), std::string(note, sizeof(note)));

    const auto lease = reader.hold();
    ASSERT_TRUE(lease);
    EXPECT_EQ(lease->info().number, 1u);
    EXPECT_EQ(lease->timing().pts_ns, 123456789);
    ASSERT_EQ(lease->metadata_size(), sizeof(note));
    EXPECT_EQ(std::memcmp(lease->metadata(), note, sizeof(note)), 0);
    for (unsigned i = 0; i < format.planes; ++i) {
        EXPECT_EQ(lease->plane(i), lease->data() + format.plane[i].offset);
        EXPECT_EQ(lease->stride(i), format.plane[i].stride);
    }
    EXPECT_EQ(std::memcmp(lease->data(), expected.data(), format.size), 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryListedFormat, RingFormats,
    ::testing::Values(format_case{"BGRA", "BGRA", 33, 17}, format_case{"BGRx", "BGRx", 33, 17},
                      format_case{"RGBA", "RGBA", 33, 17}, format_case{"RGB", "RGB", 33, 17},
                      format_case{"GRAY8", "GRAY8", 33, 17},
                      format_case{"GRAY16_LE", "GRAY16_LE", 33, 17},
                      format_case{"NV12", "NV12", 33, 17}, format_case{"I420", "I420", 33, 17},
                      format_case{"YUY2", "YUY2", 34, 17}, format_case{"UYVY", "UYVY", 34, 17},
                      format_case{"NV12_1080p", "NV12", 1920, 1080}),
    zorvtest::case_name{});

TEST(FrameRing, SinglePlaneFramesAlsoReadIntoAnyStride) {
    ShmGuard guard;
    const frame_format format = frame_format::of("RGB", 5, 3); // rows padded to 16 bytes
    frame_writer writer(guard.name(), format);
    const auto sent = pattern_bytes(5 * 3 * 3, 3);
    writer.write(sent.data(), 15);
    frame_reader reader(guard.name());
    ASSERT_TRUE(reader.wait(2s));
    std::vector<std::uint8_t> packed(5 * 3 * 3);
    ASSERT_TRUE(reader.read(packed.data(), 15, packed.size()));
    EXPECT_EQ(zorvtest::first_difference(packed, sent), "");

    frame_writer planar(guard.name(), frame_format::of("I420", 8, 8));
    ASSERT_TRUE(reader.wait(2s) || true);
    std::vector<std::uint8_t> destination(8 * 8 * 4);
    draw_pattern(planar, 1);
    planar.publish();
    ASSERT_TRUE(reader.wait(2s));
    EXPECT_THROW(reader.read(destination.data(), 8, destination.size()), zorvgst::error);
    EXPECT_THROW(planar.write(destination.data(), 8), zorvgst::error);
}

TEST(FrameRing, LeasedFramesStayWhileTheWriterPublishesPastEverySlot) {
    ShmGuard guard;
    ring_options options;
    options.readers = 1;
    options.leases_per_reader = 2;
    frame_writer writer(guard.name(), frame_format::of("NV12", 64, 48), options);
    frame_reader reader(guard.name());

    auto first = publish_and_hold(writer, reader, 1);
    auto second = publish_and_hold(writer, reader, 2);
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(reader.hold()) << "a reader holds no more than its leases";

    // Three times round a ring of four slots: the held ones must never be chosen.
    for (int frame = 0; frame < 12; ++frame) {
        publish_uniform(writer, static_cast<std::uint8_t>(10 + frame));
    }
    EXPECT_TRUE(lease_holds(*first, 1));
    EXPECT_TRUE(lease_holds(*second, 2));

    // At its cap a reader still gets the newest frame, copied.
    std::vector<std::uint8_t> copied(writer.format().size);
    const auto info = reader.copy(copied.data(), copied.size());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->number, 14u);
    EXPECT_EQ(copied.front(), 21);

    first->release();
    const auto newest = reader.hold();
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->info().number, 14u);
    EXPECT_TRUE(lease_holds(*newest, 21));
}

TEST(FrameRing, LimitLeasesCapsAReaderBelowTheRing) {
    ShmGuard guard;
    frame_writer writer(guard.name(), frame_format::of("GRAY8", 16, 16));
    frame_reader reader(guard.name());
    reader.limit_leases(1);
    auto held = publish_and_hold(writer, reader, 1);
    ASSERT_TRUE(held);
    EXPECT_FALSE(reader.hold());
    held->release();
    EXPECT_TRUE(reader.hold());
}

TEST(FrameRing, ReadersBeyondTheTableCopyUntilAnEntryIsFree) {
    ShmGuard guard;
    ring_options options;
    options.readers = 1;
    frame_writer writer(guard.name(), frame_format::of("BGRA", 8, 8), options);
    publish_uniform(writer, 9);
    auto first = std::make_unique<frame_reader>(guard.name());
    frame_reader second(guard.name());
    ASSERT_TRUE(first->wait(2s) && second.wait(2s));
    ASSERT_TRUE(first->hold());
    EXPECT_FALSE(second.hold()) << "the only reader entry is taken";
    std::vector<std::uint8_t> copied(8 * 8 * 4);
    EXPECT_TRUE(second.copy(copied.data(), copied.size()));
    first.reset();
    EXPECT_TRUE(second.hold());
}

TEST(FrameRing, ALeaseOutlivesItsReaderAndItsWriter) {
    ShmGuard guard;
    std::optional<frame_lease> lease;
    {
        frame_writer writer(guard.name(), frame_format::of("I420", 32, 32));
        frame_reader reader(guard.name());
        lease = publish_and_hold(writer, reader, 0x42);
        ASSERT_TRUE(lease);
    }
    zorvtest::remove_shared_objects(guard.name());
    EXPECT_TRUE(lease_holds(*lease, 0x42));
}

TEST(FrameRing, ReadersFollowAFormatChangeAndKeepWhatTheyHold) {
    ShmGuard guard;
    frame_writer writer(guard.name(), frame_format::of("NV12", 64, 32));
    frame_reader reader(guard.name());
    auto old = publish_and_hold(writer, reader, 5);
    ASSERT_TRUE(old);

    writer.reformat(frame_format::of("I420", 40, 30));
    const auto fresh = publish_and_hold(writer, reader, 6);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(*reader.format(), frame_format::of("I420", 40, 30));
    EXPECT_EQ(fresh->format().name, "I420");
    EXPECT_TRUE(lease_holds(*fresh, 6));
    EXPECT_TRUE(lease_holds(*old, 5)) << "the old ring stays mapped for what is held of it";

    writer.resize(20, 10);
    publish_uniform(writer, 7);
    ASSERT_TRUE(reader.wait(2s));
    EXPECT_EQ(*reader.format(), frame_format::of("I420", 20, 10));
}

TEST(FrameRing, ABufferChangesKindUnderItsReader) {
    ShmGuard guard;
    frame_reader reader(guard.name());
    {
        frame_writer ring(guard.name(), frame_format::of("BGRA", 16, 8));
        publish_uniform(ring, 1);
        ASSERT_TRUE(reader.wait(2s));
        EXPECT_EQ(reader.layout(), buffer_layout::frame_ring);
        EXPECT_EQ(get_buffer_type(guard.name()), 2u);
    }
    {
        frame_writer doubled(guard.name(), 16, 8);
        EXPECT_EQ(doubled.layout(), buffer_layout::double_buffer);
        const auto frame = zorvtest::uniform_frame(16, 8, 64, 2);
        doubled.write(frame.data(), 64);
        ASSERT_TRUE(reader.wait(2s));
        EXPECT_EQ(reader.layout(), buffer_layout::double_buffer);
        EXPECT_EQ(get_buffer_type(guard.name()), double_buffer_type);
    }
    frame_writer ring(guard.name(), frame_format::of("BGRA", 16, 8));
    publish_uniform(ring, 3);
    ASSERT_TRUE(reader.wait(2s));
    EXPECT_EQ(reader.layout(), buffer_layout::frame_ring);
    std::vector<std::uint8_t> copied(16 * 8 * 4);
    ASSERT_TRUE(reader.read(copied.data(), 64, copied.size()));
    EXPECT_EQ(copied.back(), 3);
}

TEST(FrameRing, SupervisorsFindOwnerSizeAndCountWhereDoubleBuffersKeepThem) {
    ShmGuard guard;
    frame_writer writer(guard.name(), frame_format::of("NV12", 320, 240));
    publish_uniform(writer, 1);
    publish_uniform(writer, 2);
    const auto status = zorvgst::find_buffer(guard.name());
    ASSERT_TRUE(status);
    EXPECT_EQ(status->state, zorvgst::buffer_state::ready);
    EXPECT_EQ(status->owner_pid, ::getpid());
    EXPECT_TRUE(status->owner_alive);
    EXPECT_EQ(status->width, 320u);
    EXPECT_EQ(status->height, 240u);
    EXPECT_EQ(status->frame_count, 2u);
    EXPECT_TRUE(status->last_write_time);
}

TEST(FrameRing, InconsistentFormatsAndRingsAreRefused) {
    ShmGuard guard;
    EXPECT_THROW(frame_format::of("NOT_A_FORMAT", 4, 4), zorvgst::error);
    EXPECT_THROW(frame_format::of("NV12", 0, 4), zorvgst::error);
    EXPECT_THROW(frame_format::with_strides("RGB", 5, 3, {14}), zorvgst::error);
    frame_format short_frame = frame_format::of("NV12", 16, 16);
    short_frame.size -= 1;
    EXPECT_THROW(frame_writer(guard.name(), short_frame), zorvgst::error);
    frame_format overlapping = frame_format::of("I420", 16, 16);
    overlapping.plane[2].offset = overlapping.size;
    EXPECT_THROW(frame_writer(guard.name(), overlapping), zorvgst::error);
    ring_options too_many;
    too_many.readers = 1000;
    EXPECT_THROW(frame_writer(guard.name(), frame_format::of("GRAY8", 4, 4), too_many),
                 zorvgst::error);

    const frame_format padded = frame_format::with_strides("RGB", 5, 3, {20});
    EXPECT_EQ(padded.plane[0].stride, 20u);
    EXPECT_EQ(padded.size, 60u);
    EXPECT_TRUE(padded.consistent());
}

// ---- Peers that crash or scribble on the lease table ------------------------------------------

class RingLeaseTable : public ::testing::Test {
protected:
    RingLeaseTable() {
        ring_options options;
        options.readers = 2;
        options.leases_per_reader = 2;
        writer_.emplace(guard_.name(), frame_format::of("GRAY8", 64, 64), options);
        for (int frame = 0; frame < 6; ++frame) {
            publish_uniform(*writer_, static_cast<std::uint8_t>(frame));
        }
        raw_.emplace(guard_.name());
    }

    /// Gives every entry to `owner`, its lease words naming the slots other than the newest.
    std::vector<std::uint32_t> lease_every_other_slot(std::uint64_t owner) {
        const auto& header = raw_->header();
        std::vector<std::uint32_t> leased;
        for (std::uint32_t slot = 0; slot < header.slot_count; ++slot) {
            if (slot != header.newest_slot && leased.size() < 4) {
                leased.push_back(slot);
            }
        }
        for (std::uint32_t entry = 0; entry < 2; ++entry) {
            std::uint64_t* words = raw_->reader_entry(entry);
            words[0] = owner;
            for (std::uint32_t i = 0; i < 2; ++i) {
                words[1 + i] = zorvgst::detail::ring::lease_word(leased[entry * 2 + i], 1);
            }
        }
        return leased;
    }

    ShmGuard guard_;
    std::optional<frame_writer> writer_;
    std::optional<RawRing> raw_;
};

TEST_F(RingLeaseTable, LeasesOfDeadOrReusedPidsAreReclaimed) {
    using zorvgst::detail::ring::owner_word;
    const pid_t gone = zorvtest::dead_pid();
    // This process's pid with another start time: a pid handed out again.
    const std::uint64_t owners[] = {
        owner_word(gone, 1),
        owner_word(::getpid(), zorvgst::detail::own_start_time() + 1),
    };
    for (std::uint64_t owner : owners) {
        lease_every_other_slot(owner);
        // The writer looks for the dead at most twice a second.
        EXPECT_TRUE(zorvtest::wait_until(
            [&] {
                publish_uniform(*writer_, 1);
                return raw_->reader_entry(0)[0] == 0 && raw_->reader_entry(1)[2] == 0;
            },
            2s))
            << "owner word " << std::hex << owner;
    }
}

TEST(ProcessIdentity, AProcessWhoseMainThreadEndedIsAliveWhileItsOtherThreadsRun) {
    zorvtest::Signal other_thread_running;
    zorvtest::ChildProcess child([&] {
        std::thread([&] {
            other_thread_running.raise();
            ::sleep(30);
        }).detach();
        // Ends this thread alone, without the unwinding pthread_exit() would start.
        ::syscall(SYS_exit, 0);
        return 0;
    });
    ASSERT_TRUE(other_thread_running.wait(5s));
    const pid_t pid = child.pid();
    const std::optional<std::uint64_t> started = zorvgst::detail::process_start_time(pid);
    ASSERT_TRUE(started);
    // Its /proc entry shows the ended main thread's state, 'Z', once it has ended.
    EXPECT_TRUE(zorvtest::wait_until(
        [&] {
            char state = '?';
            const std::string path = "/proc/" + std::to_string(pid) + "/stat";
            if (FILE* stat = std::fopen(path.c_str(), "r")) {
                (void)!std::fscanf(stat, "%*d (%*[^)]) %c", &state);
                std::fclose(stat);
            }
            return state == 'Z';
        },
        2s));
    EXPECT_TRUE(zorvgst::detail::same_process_alive(pid, *started & 0x7fffffffu));
    child.kill_and_reap(SIGKILL);
    EXPECT_FALSE(zorvgst::detail::same_process_alive(pid, *started & 0x7fffffffu));
}

TEST_F(RingLeaseTable, AWriterNeverWritesASlotALiveReaderHolds) {
    using zorvgst::detail::ring::owner_word;
    const auto leased =
        lease_every_other_slot(owner_word(::getpid(), zorvgst::detail::own_start_time()));
    std::vector<std::uint64_t> sequences;
    for (std::uint32_t slot : leased) {
        sequences.push_back(raw_->record(slot).sequence);
    }
    // Whatever the table holds, one slot is left: the writer goes on at full pace.
    for (int frame = 0; frame < 20; ++frame) {
        publish_uniform(*writer_, 0x7F);
    }
    EXPECT_EQ(raw_->header().frame_count, 26u);
    for (std::size_t i = 0; i < leased.size(); ++i) {
        EXPECT_EQ(raw_->record(leased[i]).sequence, sequences[i]) << "slot " << leased[i];
    }
}

} // namespace
