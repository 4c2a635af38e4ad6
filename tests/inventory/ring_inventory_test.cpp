// SPDX-License-Identifier: LGPL-2.1-or-later
// Frame rings in the inventory: listed and described, lease holders counted, hostile headers and
// reader tables reported without trust, rings of dead writers expired and removed.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/frames.h>
#include <zorvgst/inventory.h>

#include "internal/ring/layout.h"
#include "support/child_process.h"
#include "support/raw_shm.h"
#include "support/shm_guard.h"

namespace {

namespace ring = zorvgst::detail::ring;
using namespace std::chrono_literals;
using zorvgst::buffer_state;
using zorvtest::ShmGuard;

constexpr unsigned ring_readers = 2;
constexpr unsigned ring_leases = 3;
constexpr std::size_t ring_metadata = 100;

zorvgst::ring_options small_ring() {
    zorvgst::ring_options options;
    options.readers = ring_readers;
    options.leases_per_reader = ring_leases;
    options.metadata_bytes = ring_metadata;
    return options;
}

zorvgst::frame_format nv12() {
    return zorvgst::frame_format::of("NV12", 16, 8);
}

/// A ring of small_ring() with `frames` frames published.
zorvgst::frame_writer make_ring(const ShmGuard& guard, int frames) {
    zorvgst::frame_writer writer(guard.name(), nv12(), small_ring());
    for (int i = 0; i < frames; ++i) {
        std::memset(writer.frame(), i, writer.format().size);
        writer.publish();
    }
    return writer;
}

/// Where reader entry `index` of a ring of small_ring() starts in the object.
std::size_t reader_entry_offset(unsigned index) {
    const std::size_t slots = ring_readers * ring_leases + 2;
    return sizeof(ring::ring_header) + slots * sizeof(ring::slot_record) +
           index * (1 + ring_leases) * sizeof(std::uint64_t);
}

/// The start time the writer of `guard` (this process) recorded in the ring's header.
std::uint64_t recorded_start_time(const ShmGuard& guard) {
    return zorvtest::field_at<std::uint64_t>(zorvtest::read_file_bytes(guard.path()),
                                             offsetof(ring::ring_header, owner_start_time));
}

TEST(RingInventory, RingIsListedReadyAndDescribedByItsHeader) {
    ShmGuard guard("_ring"), plain("_plain");
    const zorvgst::frame_writer writer = make_ring(guard, 2);
    double_buffer_t double_buffer(plain.c_str(), boost::interprocess::read_write, 8, 4);

    const auto status = zorvgst::find_buffer(guard.name());
    ASSERT_TRUE(status);
    EXPECT_EQ(status->backend, zorvgst::backend::posix);
    EXPECT_EQ(status->state, buffer_state::ready);
    EXPECT_EQ(status->width, 16u);
    EXPECT_EQ(status->height, 8u);
    EXPECT_EQ(status->owner_pid, getpid());
    EXPECT_TRUE(status->owner_alive);
    EXPECT_EQ(status->frame_count, 2u);
    EXPECT_TRUE(status->last_write_time);
    EXPECT_EQ(status->bytes, zorvtest::read_file_bytes(guard.path()).size());

    const auto report = zorvgst::describe_ring(guard.name());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->name, guard.name());
    EXPECT_EQ(report->format, "NV12");
    EXPECT_TRUE(report->consistent);
    EXPECT_EQ(report->slots, ring_readers * ring_leases + 2);
    EXPECT_EQ(report->readers, ring_readers);
    EXPECT_EQ(report->leases_per_reader, ring_leases);
    EXPECT_EQ(report->metadata_capacity, ring_metadata);
    EXPECT_EQ(report->frame_bytes, nv12().size);
    EXPECT_EQ(report->leases_held, 0u);
    EXPECT_TRUE(report->holders.empty());

    // Only rings are described; nothing is made under names looked at.
    ShmGuard missing("_missing");
    EXPECT_FALSE(zorvgst::describe_ring(plain.name()));
    EXPECT_FALSE(zorvgst::describe_ring(missing.name()));
    EXPECT_FALSE(zorvgst::describe_ring("../etc/passwd_buffer"));
    EXPECT_FALSE(zorvtest::object_exists(missing.name()));
}

TEST(RingInventory, LeaseHoldersAreCountedPerProcessAliveOrDead) {
    ShmGuard guard;
    zorvgst::frame_writer writer = make_ring(guard, 1);
    zorvtest::Signal holding;
    zorvtest::ChildProcess child([&] {
        zorvgst::frame_reader reader(guard.name());
        std::optional<zorvgst::frame_lease> lease = reader.hold();
        if (!lease) {
            return 3;
        }
        holding.raise();
        for (;;) {
            pause(); // holds the frame until killed, as a reader that crashes does
        }
    });
    ASSERT_TRUE(holding.wait(10s)) << "the child took no lease";

    zorvgst::frame_reader reader(guard.name());
    std::optional<zorvgst::frame_lease> first = reader.hold();
    std::memset(writer.frame(), 7, writer.format().size);
    writer.publish();
    std::optional<zorvgst::frame_lease> second = reader.hold();
    ASSERT_TRUE(first && *first);
    ASSERT_TRUE(second && *second);

    const auto both = zorvgst::describe_ring(guard.name());
    ASSERT_TRUE(both);
    EXPECT_EQ(both->leases_held, 3u);
    ASSERT_EQ(both->holders.size(), 2u);
    const auto holder_of = [](const zorvgst::ring_report& report, pid_t pid) {
        const auto found = std::find_if(report.holders.begin(), report.holders.end(),
                                        [pid](const auto& holder) { return holder.pid == pid; });
        return found == report.holders.end() ? std::nullopt
                                             : std::optional<zorvgst::lease_holder>(*found);
    };
    const auto child_holder = holder_of(*both, child.pid());
    const auto own_holder = holder_of(*both, getpid());
    ASSERT_TRUE(child_holder && own_holder);
    EXPECT_TRUE(child_holder->alive);
    EXPECT_EQ(child_holder->leases, 1u);
    EXPECT_TRUE(own_holder->alive);
    EXPECT_EQ(own_holder->leases, 2u);

    // Nobody has reclaimed the dead child's lease yet: it is still counted, as dead.
    const pid_t child_pid = child.pid();
    child.kill_and_reap(SIGKILL);
    first->release();
    const auto after = zorvgst::describe_ring(guard.name());
    ASSERT_TRUE(after);
    EXPECT_EQ(after->leases_held, 2u);
    const auto dead_holder = holder_of(*after, child_pid);
    ASSERT_TRUE(dead_holder);
    EXPECT_FALSE(dead_holder->alive);
    EXPECT_EQ(dead_holder->leases, 1u);
    EXPECT_EQ(holder_of(*after, getpid())->leases, 1u);
}

TEST(RingInventory, ReaderTableIsReportedWithoutTrust) {
    ShmGuard guard;
    const zorvgst::frame_writer writer = make_ring(guard, 1);
    const std::uint32_t slots = ring_readers * ring_leases + 2;
    // Entry 0: this process, with a lease of a real slot, one of a slot the ring does not have
    // and one whose slot field is 0 (slot -1). Entry 1: no owner, but a real slot, as a reader
    // that died while claiming the entry leaves it; a reclaimer's mark does not hide its reader.
    const std::uint64_t entry0[] = {
        ring::owner_word(getpid(), recorded_start_time(guard)) | ring::reclaiming_bit,
        ring::lease_word(1, 5), ring::lease_word(slots, 5), std::uint64_t{1} << 16};
    const std::uint64_t entry1[] = {0, ring::lease_word(0, 3), 0, 0};
    ASSERT_TRUE(
        zorvtest::write_raw_bytes(guard.name(), reader_entry_offset(0), entry0, sizeof(entry0)));
    ASSERT_TRUE(
        zorvtest::write_raw_bytes(guard.name(), reader_entry_offset(1), entry1, sizeof(entry1)));

    const auto report = zorvgst::describe_ring(guard.name());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->leases_held, 2u);
    ASSERT_EQ(report->holders.size(), 2u);
    EXPECT_EQ(report->holders[0].pid, getpid());
    EXPECT_TRUE(report->holders[0].alive);
    EXPECT_EQ(report->holders[0].leases, 1u);
    EXPECT_EQ(report->holders[1].pid, 0);
    EXPECT_FALSE(report->holders[1].alive);
    EXPECT_EQ(report->holders[1].leases, 1u);
}

TEST(RingInventory, HeadersThatDoNotDescribeTheirObjectAreNotTrusted) {
    ShmGuard counts("_counts"), sizes("_sizes"), tiny("_tiny"), named("_named");
    const zorvgst::frame_writer a = make_ring(counts, 1);
    const zorvgst::frame_writer b = make_ring(sizes, 1);
    const zorvgst::frame_writer c = make_ring(named, 1);
    // More readers than any ring may have, and an object larger than this one.
    ASSERT_TRUE(zorvtest::poke<std::uint32_t>(
        counts.name(), offsetof(ring::ring_header, reader_count), ring::max_readers + 1));
    ASSERT_TRUE(zorvtest::poke<std::uint64_t>(
        sizes.name(), offsetof(ring::ring_header, total_bytes), std::uint64_t{1} << 40));
    std::vector<unsigned char> type_word_only(8, 0);
    type_word_only[0] = ring::ring_buffer_type;
    ASSERT_TRUE(zorvtest::create_raw_object(tiny.name(), type_word_only));
    const char control_name[ring::format_name_bytes] = "NV\x1b[2J";
    ASSERT_TRUE(zorvtest::write_raw_bytes(named.name(), offsetof(ring::ring_header, format),
                                          control_name, sizeof(control_name)));

    for (const ShmGuard* guard : {&counts, &sizes, &tiny}) {
        SCOPED_TRACE(guard->name());
        const auto report = zorvgst::describe_ring(guard->name());
        ASSERT_TRUE(report) << "still a ring by its type word";
        EXPECT_FALSE(report->consistent);
        EXPECT_EQ(report->slots, 0u);
        EXPECT_EQ(report->leases_held, 0u);
        const auto status = zorvgst::find_buffer(guard->name());
        ASSERT_TRUE(status);
        EXPECT_EQ(status->state, buffer_state::not_ready);
    }
    EXPECT_EQ(zorvgst::describe_ring(counts.name())->format, "NV12");
    EXPECT_EQ(zorvgst::describe_ring(tiny.name())->format, "");

    const auto renamed = zorvgst::describe_ring(named.name());
    ASSERT_TRUE(renamed);
    EXPECT_TRUE(renamed->consistent);
    EXPECT_EQ(renamed->format, "") << "a name that is no format name is not passed on";
}

TEST(RingInventory, RingsOfGoneWritersExpireAndRemovalTakesAnyRing) {
    ShmGuard dead("_dead"), reused("_reused"), alive("_alive"), unstamped("_unstamped");
    const zorvgst::frame_writer w1 = make_ring(dead, 1);
    const zorvgst::frame_writer w2 = make_ring(reused, 1);
    const zorvgst::frame_writer w3 = make_ring(alive, 1);
    const zorvgst::frame_writer w4 = make_ring(unstamped, 1);
    const pid_t gone = zorvtest::dead_pid();
    ASSERT_TRUE(zorvtest::poke<pid_t>(dead.name(), offsetof(ring::ring_header, owner_pid), gone));
    // This process's pid, but another start: a later process that got the writer's pid.
    const std::uint64_t started = recorded_start_time(reused);
    ASSERT_NE(started, 0u);
    ASSERT_TRUE(zorvtest::poke<std::uint64_t>(
        reused.name(), offsetof(ring::ring_header, owner_start_time), started + 1));
    // A writer that could not read its start time: the pid alone says it lives.
    ASSERT_TRUE(zorvtest::poke<std::uint64_t>(unstamped.name(),
                                              offsetof(ring::ring_header, owner_start_time), 0));

    const auto reused_status = zorvgst::find_buffer(reused.name());
    ASSERT_TRUE(reused_status);
    EXPECT_EQ(reused_status->owner_pid, getpid());
    EXPECT_FALSE(reused_status->owner_alive);

    const std::vector<std::string> names = {unstamped.name(), alive.name(), reused.name(),
                                            dead.name()};
    const auto names_of = [](const std::vector<zorvgst::buffer_status>& buffers) {
        std::vector<std::string> listed;
        for (const auto& b : buffers) {
            listed.push_back(b.name);
        }
        return listed;
    };
    std::vector<zorvgst::expiry_failure> failures;
    const auto would = zorvgst::expire_buffers(names, true, failures);
    EXPECT_EQ(names_of(would), (std::vector<std::string>{reused.name(), dead.name()}));
    EXPECT_TRUE(zorvtest::object_exists(dead.name())) << "a dry run removed it";

    const auto removed = zorvgst::expire_buffers(names, false, failures);
    EXPECT_EQ(names_of(removed), (std::vector<std::string>{reused.name(), dead.name()}));
    EXPECT_TRUE(failures.empty());
    EXPECT_FALSE(zorvtest::object_exists(dead.name()));
    EXPECT_FALSE(zorvtest::object_exists(reused.name()));
    EXPECT_TRUE(zorvtest::object_exists(alive.name()));
    EXPECT_TRUE(zorvtest::object_exists(unstamped.name()));

    EXPECT_TRUE(zorvgst::remove_buffer(alive.name()));
    EXPECT_FALSE(zorvtest::object_exists(alive.name()));
    EXPECT_FALSE(zorvgst::find_buffer(alive.name()));
}

} // namespace
