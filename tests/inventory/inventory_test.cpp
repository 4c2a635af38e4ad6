// SPDX-License-Identifier: LGPL-2.1-or-later
// The inventory API: buffers of both backends found, read, expired and removed, creating nothing.
#include <zorvgst/inventory.h>
// What a host including only the inventory gets: no Boost, no GStreamer.
#if defined(BOOST_VERSION) || defined(GST_VERSION_MAJOR)
#error "zorvgst/inventory.h must not pull in Boost or GStreamer"
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <gtest/gtest.h>
#include <unistd.h>
#include <utime.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/sysv_double_buffer.h>

#include "support/owned_buffers.h"
#include "support/raw_shm.h"
#include "support/shm_guard.h"

namespace {

namespace bip = boost::interprocess;
using namespace std::chrono_literals;
using sysv_double_buffer::sysv_double_buffer_t;
using zorvgst::buffer_state;
using zorvgst::buffer_status;
using zorvtest::ShmGuard;

constexpr std::size_t last_write_time_offset = 8;

/// Runs the test in a time zone 5:30 ahead of UTC, so that a conversion of the writers' local
/// stamps that ignores or inverts the offset shows; the previous zone comes back afterwards.
class LocalZone {
public:
    LocalZone() {
        if (const char* zone = std::getenv("TZ")) {
            previous_ = zone;
        }
        setenv("TZ", "ZST-05:30", 1);
        tzset();
    }
    ~LocalZone() {
        if (previous_) {
            setenv("TZ", previous_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    LocalZone(const LocalZone&) = delete;
    LocalZone& operator=(const LocalZone&) = delete;

private:
    std::optional<std::string> previous_;
};

template <typename Writer> void publish(Writer& writer, int frames) {
    ASSERT_TRUE(writer.is_valid());
    for (int i = 0; i < frames; ++i) {
        writer.grab_write_sem();
        writer.release_write_sem();
    }
}

std::optional<buffer_status> listed(const std::vector<buffer_status>& buffers,
                                    const std::string& name) {
    const auto found = std::find_if(buffers.begin(), buffers.end(),
                                    [&name](const buffer_status& b) { return b.name == name; });
    return found == buffers.end() ? std::nullopt : std::optional<buffer_status>(*found);
}

/// Microseconds since the epoch: comparable, and readable when a check fails.
std::int64_t microseconds_of(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
}

std::vector<std::string> names_of(const std::vector<buffer_status>& buffers) {
    std::vector<std::string> names;
    for (const auto& b : buffers) {
        names.push_back(b.name);
    }
    return names;
}

void make_settled_key_file(const ShmGuard& guard) {
    std::ofstream(guard.path()).close();
    utimbuf minute_ago{};
    minute_ago.actime = minute_ago.modtime = std::time(nullptr) - 60;
    ASSERT_EQ(utime(guard.path().c_str(), &minute_ago), 0);
}

TEST(Inventory, ListsAndFindsBuffersOfBothBackendsWithTheirHeaders) {
    const LocalZone zone;
    ShmGuard posix("_posix"), sysv("_sysv");
    // Whole microseconds, as the stamps keep them.
    const auto before = microseconds_of(std::chrono::system_clock::now());
    double_buffer_t posix_writer(posix.c_str(), bip::read_write, 8, 4);
    sysv_double_buffer_t sysv_writer(sysv.c_str(), bip::read_write, 8, 4);
    publish(posix_writer, 3);
    publish(sysv_writer, 2);
    const auto after = microseconds_of(std::chrono::system_clock::now());

    const auto buffers = zorvgst::list_buffers();
    EXPECT_TRUE(std::is_sorted(buffers.begin(), buffers.end(),
                               [](const auto& a, const auto& b) { return a.name < b.name; }));
    struct expected {
        const ShmGuard* guard;
        zorvgst::backend kind;
        std::uint64_t frames;
    };
    for (const auto& [guard, kind, frames] : {expected{&posix, zorvgst::backend::posix, 3},
                                              expected{&sysv, zorvgst::backend::sysv, 2}}) {
        SCOPED_TRACE(guard->name());
        const auto status = listed(buffers, guard->name());
        ASSERT_TRUE(status);
        EXPECT_EQ(status->backend, kind);
        EXPECT_EQ(status->state, buffer_state::ready);
        EXPECT_EQ(status->width, 8u);
        EXPECT_EQ(status->height, 4u);
        EXPECT_EQ(status->owner_pid, getpid());
        EXPECT_TRUE(status->owner_alive);
        EXPECT_EQ(status->frame_count, frames);
        EXPECT_EQ(status->bytes, compute_size(8, 4));
        EXPECT_FALSE(status->last_write_time_invalid);
        ASSERT_TRUE(status->last_write_time);
        EXPECT_GE(microseconds_of(*status->last_write_time), before);
        EXPECT_LE(microseconds_of(*status->last_write_time), after);

        const auto found = zorvgst::find_buffer(guard->name());
        ASSERT_TRUE(found);
        EXPECT_EQ(found->backend, kind);
        EXPECT_EQ(found->frame_count, status->frame_count);
        EXPECT_EQ(zorvgst::find_backend(guard->name()), kind);
    }
}

TEST(Inventory, HeaderTimesThatAreNoTimeAreMarkedInvalid) {
    ShmGuard unwritten("_unwritten"), garbage("_garbage"), far("_far");
    double_buffer_t a(unwritten.c_str(), bip::read_write, 8, 4);
    double_buffer_t b(garbage.c_str(), bip::read_write, 8, 4);
    double_buffer_t c(far.c_str(), bip::read_write, 8, 4);
    publish(b, 1);
    publish(c, 1);
    ASSERT_TRUE(zorvtest::poke<std::int64_t>(garbage.name(), last_write_time_offset, -1));
    // A real date, but past what a nanosecond time point holds.
    const boost::posix_time::ptime year_3000(boost::gregorian::date(3000, 1, 1));
    ASSERT_TRUE(zorvtest::poke(far.name(), last_write_time_offset, year_3000));

    const auto none = zorvgst::find_buffer(unwritten.name());
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->last_write_time);
    EXPECT_FALSE(none->last_write_time_invalid) << "no frame yet is no garbage";
    for (const auto* guard : {&garbage, &far}) {
        const auto status = zorvgst::find_buffer(guard->name());
        ASSERT_TRUE(status) << guard->name();
        EXPECT_FALSE(status->last_write_time) << guard->name();
        EXPECT_TRUE(status->last_write_time_invalid) << guard->name();
        EXPECT_EQ(status->frame_count, 1u) << "the other fields are still read";
    }
}

TEST(Inventory, MissingAndImpossibleNamesAreNoBuffers) {
    ShmGuard missing;
    EXPECT_FALSE(zorvgst::find_buffer(missing.name()));
    EXPECT_FALSE(zorvgst::find_backend(missing.name()));
    EXPECT_FALSE(listed(zorvgst::list_buffers(), missing.name()));
    // Nothing of it was there, nothing of it is left.
    EXPECT_TRUE(zorvgst::remove_buffer(missing.name()));
    for (const std::string name : {"", ".", "..", "../etc/passwd_buffer"}) {
        EXPECT_FALSE(zorvgst::find_buffer(name)) << name;
        EXPECT_FALSE(zorvgst::remove_buffer(name)) << name;
    }
    EXPECT_FALSE(zorvtest::object_exists(missing.name()));
}

TEST(Inventory, KeyFileWithoutSegmentIsAnOrphanExpiredOnlyOnceSettled) {
    ShmGuard settled("_settled"), fresh("_fresh");
    make_settled_key_file(settled);
    std::ofstream(fresh.path()).close();

    const auto orphan = zorvgst::find_buffer(settled.name());
    ASSERT_TRUE(orphan);
    EXPECT_EQ(orphan->backend, zorvgst::backend::sysv);
    EXPECT_EQ(orphan->state, buffer_state::orphan);
    EXPECT_EQ(orphan->owner_pid, 0);
    EXPECT_EQ(orphan->bytes, 0u);

    const std::vector<std::string> names = {settled.name(), fresh.name()};
    std::vector<zorvgst::expiry_failure> failures;
    const auto would = zorvgst::expire_buffers(names, true, failures);
    ASSERT_EQ(names_of(would), std::vector<std::string>{settled.name()});
    EXPECT_EQ(would.front().state, buffer_state::orphan);
    EXPECT_TRUE(zorvtest::object_exists(settled.name())) << "a dry run removed it";

    const auto removed = zorvgst::expire_buffers(names, false, failures);
    EXPECT_EQ(names_of(removed), std::vector<std::string>{settled.name()});
    EXPECT_FALSE(zorvtest::object_exists(settled.name()));
    EXPECT_TRUE(zorvtest::object_exists(fresh.name()));
    EXPECT_TRUE(failures.empty());
}

TEST(Inventory, ExpireTakesOnlyBuffersOfDeadOwnersAndReportsMissingNames) {
    ShmGuard dead("_dead"), alive("_alive"), unowned("_unowned"), missing("_missing");
    const pid_t gone = zorvtest::make_buffers_by_owner(dead.name(), alive.name(), unowned.name());
    ASSERT_GT(gone, 0);
    const std::vector<std::string> names = {missing.name(), unowned.name(), alive.name(),
                                            dead.name()};

    std::vector<zorvgst::expiry_failure> failures;
    const auto would = zorvgst::expire_buffers(names, true, failures);
    ASSERT_EQ(names_of(would), std::vector<std::string>{dead.name()});
    EXPECT_EQ(would.front().owner_pid, gone);
    EXPECT_FALSE(would.front().owner_alive);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures.front().name, missing.name());
    EXPECT_EQ(failures.front().reason, zorvgst::expiry_failure_reason::not_found);
    EXPECT_TRUE(zorvtest::object_exists(dead.name())) << "a dry run removed it";

    const auto removed = zorvgst::expire_buffers(names);
    EXPECT_EQ(names_of(removed), std::vector<std::string>{dead.name()});
    EXPECT_FALSE(zorvtest::object_exists(dead.name()));
    EXPECT_TRUE(zorvtest::object_exists(alive.name()));
    EXPECT_TRUE(zorvtest::object_exists(unowned.name()));
}

TEST(Inventory, InspectingAndDryRunsCreateNothing) {
    // A running writer whose write-wait objects a clean-up took, an orphan key file and a name
    // with nothing behind it: opening any of them through a handle would create pieces.
    ShmGuard live("_live"), orphan("_orphan"), missing("_missing");
    sysv_double_buffer_t writer(live.c_str(), bip::read_write, 8, 4);
    publish(writer, 1);
    ASSERT_TRUE(bip::named_condition::remove((live.name() + "_cond").c_str()));
    ASSERT_TRUE(bip::named_mutex::remove((live.name() + "_cond_mutex").c_str()));
    make_settled_key_file(orphan);
    const auto before = zorvtest::dev_shm_entries_with_prefix(zorvtest::run_prefix());
    ASSERT_EQ(before, (std::vector<std::string>{live.name(), orphan.name()}));

    EXPECT_TRUE(listed(zorvgst::list_buffers(), live.name()));
    for (const auto* guard : {&live, &orphan, &missing}) {
        zorvgst::find_buffer(guard->name());
        zorvgst::find_backend(guard->name());
    }
    EXPECT_EQ(zorvgst::expire_buffers({live.name(), orphan.name(), missing.name()}, true).size(),
              1u);
    EXPECT_EQ(zorvtest::dev_shm_entries_with_prefix(zorvtest::run_prefix()), before);
}

} // namespace
