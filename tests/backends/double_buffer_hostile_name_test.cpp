// SPDX-License-Identifier: LGPL-2.1-or-later
// Access rights and hostile names: what both backends create, and that no name reaches outside
// /dev/shm. (Graph export with hostile paths is covered by the pipeline graph export tests.)
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/sysv_double_buffer.h>

#include "support/child_process.h"
#include "support/raw_shm.h"
#include "support/shm_guard.h"

namespace {

namespace bip = boost::interprocess;
namespace fs = boost::filesystem;
using sysv_double_buffer::sysv_double_buffer_t;
using zorvtest::ChildProcess;
using zorvtest::ShmGuard;

unsigned mode_of(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0xFFFFu;
}

std::set<std::string> entries_of(const std::string& directory) {
    std::set<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            names.insert(entry->d_name);
        }
        ::closedir(dir);
    }
    return names;
}

/// A deadline every wait has passed, whether it reads local time (POSIX) or UTC (System V).
boost::posix_time::ptime long_past() {
    return boost::posix_time::microsec_clock::universal_time() - boost::posix_time::hours(24);
}

std::string content_of(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST(DoubleBufferAccess, SysvBufferPiecesAreGroupSharedWhateverTheUmask) {
    ShmGuard guard;
    const mode_t saved = ::umask(077);
    sysv_double_buffer_t writer(guard.c_str(), bip::read_write, 4, 2);
    ::umask(saved);
    ASSERT_TRUE(writer.is_valid());
    shmid_ds info{};
    ASSERT_EQ(::shmctl(writer.get_shmid(), IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_perm.mode & 0777, 0660u);
    EXPECT_EQ(mode_of("/dev/shm/" + guard.name() + "_cond"), 0660u);
    EXPECT_EQ(mode_of("/dev/shm/sem." + guard.name() + "_cond_mutex"), 0660u);
}

// Another user of the objects' group opens a reader on each backend and waits on it.
TEST(DoubleBufferAccess, GroupMemberOfAnotherUserCanReadBothBackends) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    ShmGuard posix_guard("_posix");
    ShmGuard sysv_guard("_sysv");
    const mode_t saved = ::umask(077);
    posix_double_buffer_t posix_writer(posix_guard.c_str(), bip::read_write, 4, 2);
    sysv_double_buffer_t sysv_writer(sysv_guard.c_str(), bip::read_write, 4, 2);
    ::umask(saved);
    ASSERT_TRUE(posix_writer.is_valid());
    ASSERT_TRUE(sysv_writer.is_valid());
    posix_writer.release_write_sem();
    sysv_writer.release_write_sem();

    struct stat object {};
    ASSERT_EQ(::stat(posix_guard.path().c_str(), &object), 0);
    const gid_t group = object.st_gid;
    ChildProcess stranger([&] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 || ::setuid(65534) != 0) {
            return 1;
        }
        posix_double_buffer_t posix_reader(posix_guard.c_str(), bip::read_only);
        if (!posix_reader.is_valid()) {
            return 2;
        }
        posix_reader.wait_for_write(long_past());
        sysv_double_buffer_t sysv_reader(sysv_guard.c_str(), bip::read_only);
        if (!sysv_reader.is_valid()) {
            return 3;
        }
        sysv_reader.wait_for_write(long_past());
        return posix_reader.get_read_address() != nullptr &&
                       sysv_reader.get_read_address() != nullptr
                   ? 0
                   : 4;
    });
    EXPECT_EQ(stranger.wait(), 0);
}

// A directory outside /dev/shm holding what hostile names point at.
class HostileNames : public ::testing::Test {
protected:
    void SetUp() override {
        canary_ = fs::temp_directory_path() / (zorvtest::run_prefix() + "canary");
        fs::create_directories(canary_);
        for (const std::string name :
             {"victim_buffer", "victim_buffer_cond", "sem.victim_buffer_cond_mutex"}) {
            std::ofstream(canary_ / name) << "keep";
        }
        before_canary_ = entries_of(canary_.string());
        before_dev_ = entries_of("/dev");
        before_tmp_ = entries_of(fs::temp_directory_path().string());
    }
    void TearDown() override {
        fs::remove_all(canary_);
        // The one name that is a plain file name with control characters lives in /dev/shm.
        zorvtest::remove_shared_objects(control_name());
    }

    std::vector<std::string> names() const {
        const std::string from_shm = "../.." + canary_.string() + "/victim_buffer";
        return {
            "",
            ".",
            "..",
            "/..",
            from_shm,
            "/" + from_shm,
            canary_.string() + "/victim_buffer",
            "sub/dir_buffer",
            zorvtest::run_prefix() + std::string(400, 'a') + "_buffer",
            control_name(),
        };
    }
    static std::string control_name() { return zorvtest::run_prefix() + "ctl\n\t\x01\x7f_buffer"; }

    // Opens, owns, expires and removes every hostile name through `Handle`, then checks that
    // nothing outside /dev/shm changed. `while_open(name, writer)` adds the backend's own calls
    // with a writer open; `remove(name)` removes the name and checks what is left of it.
    template <typename Handle, typename WhileOpen, typename Remove>
    void operate_on_every_name(WhileOpen while_open, Remove remove) {
        for (const std::string& name : names()) {
            SCOPED_TRACE(::testing::PrintToString(name));
            Handle reader(name.c_str(), bip::read_only);
            EXPECT_FALSE(reader.is_valid());
            {
                Handle writer(name.c_str(), bip::read_write, 4, 2);
                // Only a plain file name can become a buffer, and then it is inside /dev/shm.
                if (writer.is_valid()) {
                    EXPECT_EQ(name, control_name());
                    EXPECT_TRUE(zorvtest::object_exists(name));
                }
                while_open(name, writer);
            }
            EXPECT_EQ(Handle::get_double_buffer_owner(name),
                      name == control_name() ? ::getpid() : 0);
            EXPECT_FALSE(Handle::remove_double_buffer_if_owner_pid_expired(name.c_str()));
            remove(name);
        }
        expect_nothing_touched_outside();
    }

    void expect_nothing_touched_outside() const {
        EXPECT_EQ(entries_of(canary_.string()), before_canary_);
        for (const std::string name :
             {"victim_buffer", "victim_buffer_cond", "sem.victim_buffer_cond_mutex"}) {
            EXPECT_EQ(content_of((canary_ / name).string()), "keep") << name;
        }
        EXPECT_EQ(entries_of("/dev"), before_dev_);
        // Other programs may use /tmp meanwhile: only names of this run count.
        for (const std::string& entry : entries_of(fs::temp_directory_path().string())) {
            if (before_tmp_.count(entry) == 0) {
                EXPECT_EQ(entry.find(zorvtest::run_prefix()), std::string::npos) << entry;
            }
        }
    }

    fs::path canary_;
    std::set<std::string> before_canary_;
    std::set<std::string> before_dev_;
    std::set<std::string> before_tmp_;
};

TEST_F(HostileNames, PosixOperationsStayInsideTheShmDirectory) {
    operate_on_every_name<posix_double_buffer_t>(
        [](const std::string& name, posix_double_buffer_t&) {
            double_buffer_t facade(name.c_str(), bip::read_only);
            facade.is_valid();
            try {
                get_buffer_type(name);
            } catch (const bip::interprocess_exception&) {
            }
        },
        [](const std::string& name) {
            posix_double_buffer_t::remove(name.c_str());
            EXPECT_FALSE(zorvtest::object_exists(control_name()));
        });
}

TEST_F(HostileNames, SysvOperationsStayInsideTheShmDirectory) {
    operate_on_every_name<sysv_double_buffer_t>(
        [](const std::string&, sysv_double_buffer_t& writer) {
            writer.wait_for_write(long_past());
        },
        [](const std::string& name) {
            try {
                sysv_double_buffer_t::remove(name.c_str());
            } catch (const bip::interprocess_exception&) {
            }
            // Neither key file nor write-wait condition and mutex are left.
            EXPECT_EQ(zorvtest::dev_shm_entries_with_prefix(control_name()),
                      std::vector<std::string>{});
        });
}

TEST(HostileDirectories, NamesWithALineBreakAfterTheSuffixAreNotListed) {
    const fs::path directory = fs::temp_directory_path() / (zorvtest::run_prefix() + "listing");
    fs::create_directories(directory);
    for (const std::string name :
         {"kept_buffer", "line_buffer\nrest", "line_buffer\n", "kept\nalso_buffer"}) {
        std::ofstream(directory / name) << "x";
    }
    const std::vector<std::string> expected = {"kept\nalso_buffer", "kept_buffer"};
    for (auto names : {posix_double_buffer_t::get_double_buffer_names(directory.string()),
                       sysv_double_buffer_t::get_double_buffer_names(directory.string()),
                       get_double_buffer_names(directory.string())}) {
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, expected);
    }
    fs::remove_all(directory);
}

TEST(HostileDirectories, ListingsOfPathsThatCannotBeExaminedAreEmptyNotThrown) {
    const std::string overlong = "/tmp/" + std::string(5000, 'd');
    const std::string too_long_entry = "/tmp/" + std::string(300, 'e');
    for (const std::string& directory : {overlong, too_long_entry}) {
        EXPECT_TRUE(posix_double_buffer_t::get_double_buffer_names(directory).empty());
        EXPECT_TRUE(sysv_double_buffer_t::get_double_buffer_names(directory).empty());
        EXPECT_TRUE(get_double_buffer_names(directory).empty());
    }
}

} // namespace
