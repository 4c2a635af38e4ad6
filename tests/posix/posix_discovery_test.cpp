// SPDX-License-Identifier: LGPL-2.1-or-later
// Discovery of POSIX double buffers: listing, owner queries on sound and malformed objects,
// removal and the expiry check with owners that cannot have died.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <unistd.h>

#include <zorvgst/posix_double_buffer.h>

#include "support/capture_appender.h"
#include "support/child_process.h"
#include "support/double_buffer_test_util.h"
#include "support/raw_shm.h"
#include "support/shm_guard.h"

namespace {

namespace bip = boost::interprocess;
namespace fs = boost::filesystem;
using namespace dbtest;
using zorvtest::LogCapture;
using zorvtest::ShmGuard;

// A scratch directory removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "zorvtest_list_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        boost::system::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }
    void touch(const std::string& entry) const { std::ofstream((path_ / entry).string()); }

private:
    fs::path path_;
};

TEST(PosixDoubleBufferDiscovery, ListingKeepsNamesEndingInBuffer) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    for (const char* entry : {"cam1_buffer", "cam1_overlay_buffer", "cam1_preview_buffer",
                              "cam1_buffer.old", "notes"}) {
        dir.touch(entry);
    }
    fs::create_directory(dir.path() / "sub_buffer"); // any kind of entry counts by its name
    auto names = posix_double_buffer_t::get_double_buffer_names(dir.path().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"cam1_buffer", "cam1_overlay_buffer",
                                               "cam1_preview_buffer", "sub_buffer"}));
}

TEST(PosixDoubleBufferDiscovery, ListingOfSomethingNotADirectoryIsEmptyAndLogged) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    dir.touch("plain_buffer");
    const std::string file = (dir.path() / "plain_buffer").string();
    const std::string missing = (dir.path() / "missing").string();
    LogCapture log;
    EXPECT_TRUE(posix_double_buffer_t::get_double_buffer_names(file).empty());
    EXPECT_TRUE(posix_double_buffer_t::get_double_buffer_names(missing).empty());
    EXPECT_TRUE(logged(log, "Error \"" + file + "\" is not a directory", error));
    EXPECT_TRUE(logged(log, "Error \"" + missing + "\" is not a directory", error));
}

TEST(PosixDoubleBufferDiscovery, DefaultListingSeesBuffersInDevShm) {
    ShmGuard guard;
    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 2, 2);
    ASSERT_TRUE(writer.is_valid());
    const auto names = posix_double_buffer_t::get_double_buffer_names();
    EXPECT_NE(std::find(names.begin(), names.end(), guard.name()), names.end());
}

TEST(PosixDoubleBufferDiscovery, OwnerOfASoundBufferIsItsWriter) {
    ShmGuard guard;
    posix_double_buffer_t writer(guard.c_str(), bip::read_write, 2, 2);
    ASSERT_TRUE(writer.is_valid());
    LogCapture log;
    EXPECT_EQ(posix_double_buffer_t::get_double_buffer_owner(guard.name()), getpid());
    EXPECT_EQ(posix_double_buffer_t::get_double_buffer_owner("/" + guard.name()), getpid());
    EXPECT_TRUE(log.lines().empty());
}

TEST(PosixDoubleBufferDiscovery, OwnerOfMalformedObjectsIsNone) {
    ShmGuard guard;
    const std::string name = guard.name();
    {
        LogCapture log;
        EXPECT_EQ(posix_double_buffer_t::get_double_buffer_owner(name), 0);
        const auto lines = log.containing("Interprocess Exception: ");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, error);
        EXPECT_GT(lines[0].message.size(), std::string("Interprocess Exception: ").size());
        EXPECT_FALSE(zorvtest::object_exists(name)); // the query never creates
    }
    {
        std::vector<unsigned char> bytes(40, 0);
        bytes[0] = 7;
        bytes[24] = 5; // an owner that must not be consulted
        ASSERT_TRUE(zorvtest::create_raw_object(name, bytes));
        LogCapture log;
        EXPECT_EQ(posix_double_buffer_t::get_double_buffer_owner(name), 0);
        EXPECT_TRUE(logged(log, "Not A Double Buffer: 7", error));
    }
    for (std::size_t size : {16, 3}) {
        std::vector<unsigned char> bytes(size, 0);
        ASSERT_TRUE(zorvtest::create_raw_object(name, bytes));
        LogCapture log;
        EXPECT_EQ(posix_double_buffer_t::get_double_buffer_owner(name), 0) << size;
        EXPECT_TRUE(log.lines().empty()) << size;
    }
    {
        ASSERT_TRUE(zorvtest::create_raw_object(name, {}));
        LogCapture log;
        EXPECT_EQ(posix_double_buffer_t::get_double_buffer_owner(name), 0);
        EXPECT_EQ(log.containing("Interprocess Exception: ").size(), 1u);
    }
}

TEST(PosixDoubleBufferDiscovery, RemovalOfMissingNameWarns) {
    ShmGuard guard;
    LogCapture log;
    posix_double_buffer_t::remove(guard.c_str());
    EXPECT_TRUE(logged(log, "Removing Double Buffer Shm: " + guard.name(), debug));
    EXPECT_TRUE(logged(log, "Failed to Remove Double Buffer Shm: " + guard.name(), warn));
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].function, "static void posix_double_buffer_t::remove(const char*)");
}

TEST(PosixDoubleBufferDiscovery, RemovalUnlinksTheObject) {
    ShmGuard guard;
    {
        posix_double_buffer_t writer(guard.c_str(), bip::read_write, 2, 2);
        ASSERT_TRUE(writer.is_valid());
    }
    LogCapture log;
    posix_double_buffer_t::remove(guard.c_str());
    EXPECT_FALSE(zorvtest::object_exists(guard.name()));
    EXPECT_TRUE(log.with_message("Failed to Remove Double Buffer Shm: " + guard.name()).empty());
}

TEST(PosixDoubleBufferDiscovery, ExpiryLeavesBuffersWithoutADeadOwner) {
    ShmGuard guard;
    const std::string name = guard.name();
    {
        posix_double_buffer_t writer(guard.c_str(), bip::read_write, 2, 2);
        ASSERT_TRUE(writer.is_valid());
    }
    // Alive (this process), no owner, and an owner value no process can have.
    for (std::int32_t owner : {static_cast<std::int32_t>(getpid()), 0, -1}) {
        ASSERT_TRUE(zorvtest::poke<std::int32_t>(name, owner_offset, owner));
        LogCapture log;
        EXPECT_FALSE(
            posix_double_buffer_t::remove_double_buffer_if_owner_pid_expired(guard.c_str()))
            << owner;
        EXPECT_TRUE(zorvtest::object_exists(name)) << owner;
        EXPECT_TRUE(log.containing("Expiring Buffer").empty()) << owner;
    }
    // A name without an object is not expired either.
    ShmGuard missing("_missing");
    EXPECT_FALSE(posix_double_buffer_t::remove_double_buffer_if_owner_pid_expired(missing.c_str()));
}

// POSIX object names are resolved by the system inside the shared-memory directory, never joined
// to it as paths: a name reaching into a sub-directory or out of the directory refers to no
// object, so nothing there is read, expired, removed or created.
TEST(PosixDoubleBufferDiscovery, NamesReachingOutOfTheShmDirectoryTouchNothing) {
    const std::string sub = zorvtest::run_prefix() + "sub";
    const fs::path dir = fs::path("/dev/shm") / sub;
    const fs::path victim = dir / "victim_buffer";
    ASSERT_TRUE(fs::create_directory(dir));
    zorvtest::ChildProcess exited([] { return 0; });
    const pid_t dead = exited.pid();
    ASSERT_EQ(exited.wait(), 0); // reaped: its id names no process
    {
        // A sound header whose owner is gone: expiry would remove it if it ever reached it.
        std::vector<unsigned char> bytes(header_size + 2 * 2 * 8, 0);
        bytes[width_offset] = 2;
        bytes[height_offset] = 2;
        std::memcpy(bytes.data() + owner_offset, &dead, sizeof(dead));
        std::ofstream(victim.string(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    const auto before = zorvtest::read_file_bytes(victim.string());
    ASSERT_EQ(before.size(), header_size + 32);
    for (const std::string& name : {sub + "/victim_buffer", "/" + sub + "/victim_buffer",
                                    victim.string(), "../shm/" + sub + "/victim_buffer",
                                    sub + "/created_buffer", std::string("."), std::string("..")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(posix_double_buffer_t::get_double_buffer_owner(name), 0);
        EXPECT_FALSE(
            posix_double_buffer_t::remove_double_buffer_if_owner_pid_expired(name.c_str()));
        posix_double_buffer_t::remove(name.c_str());
        posix_double_buffer_t writer(name.c_str(), bip::read_write, 2, 2);
        EXPECT_FALSE(writer.is_valid());
        EXPECT_EQ(zorvtest::read_file_bytes(victim.string()), before);
    }
    EXPECT_FALSE(fs::exists(dir / "created_buffer"));
    EXPECT_TRUE(fs::is_directory("/dev/shm"));
    boost::system::error_code ignored;
    fs::remove_all(dir, ignored);
}

} // namespace
