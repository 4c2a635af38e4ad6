// SPDX-License-Identifier: LGPL-2.1-or-later
// Shared-memory clean-up for tests, and the run-wide check that nothing was left behind.
#include "support/shm_guard.h"
#include <algorithm>
#include <string>
#include <vector>

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include "support/raw_shm.h"

namespace zorvtest {
namespace {

// Fails the run when a test left shared objects of this process behind.
class LeftoverCheck : public ::testing::Environment {
public:
    void TearDown() override {
        auto left = dev_shm_entries_with_prefix(run_prefix());
        for (const auto& entry : left) {
            ADD_FAILURE() << "left behind in /dev/shm: " << entry;
            unlink(("/dev/shm/" + entry).c_str());
        }
    }
};

const auto* const leftover_check = ::testing::AddGlobalTestEnvironment(new LeftoverCheck);

} // namespace

std::vector<std::string> dev_shm_entries_with_prefix(const std::string& prefix) {
    std::vector<std::string> found;
    if (DIR* dir = opendir("/dev/shm")) {
        while (dirent* entry = readdir(dir)) {
            std::string entry_name = entry->d_name;
            if (entry_name.rfind(prefix, 0) == 0 || entry_name.rfind("sem." + prefix, 0) == 0) {
                found.push_back(entry_name);
            }
        }
        closedir(dir);
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string run_prefix() {
    return "zorvtest_" + std::to_string(getpid()) + "_";
}

void remove_shared_objects(const std::string& name) {
    const std::string path = "/dev/shm/" + name;
    // A key file leads to its System V segment: remove the segment before the file.
    const int id = segment_id(name);
    if (id != -1) {
        shmctl(id, IPC_RMID, nullptr);
    }
    shm_unlink(("/" + name).c_str());
    unlink(path.c_str());
    unlink(("/dev/shm/" + name + "_cond").c_str());
    unlink(("/dev/shm/sem." + name + "_cond_mutex").c_str());
}

ShmGuard::ShmGuard(const std::string& suffix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test = info != nullptr ? std::string(info->test_suite_name()) + "_" + info->name()
                                       : std::string("global");
    for (char& c : test) {
        if (c == '/') {
            c = '_';
        }
    }
    name_ = run_prefix() + test + suffix + "_buffer";
    remove_shared_objects(name_);
}

ShmGuard::~ShmGuard() {
    remove_shared_objects(name_);
}

} // namespace zorvtest
