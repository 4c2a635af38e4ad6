// SPDX-License-Identifier: LGPL-2.1-or-later
// Unique shared-memory names per test, and removal of everything a test created under them.
#pragma once

#include <string>
#include <vector>

namespace zorvtest {

/// Prefix of every name this test process creates: "zorvtest_<pid>_".
std::string run_prefix();

/// Entries of /dev/shm whose name (or semaphore name, after "sem.") starts with `prefix`, sorted.
std::vector<std::string> dev_shm_entries_with_prefix(const std::string& prefix);

/// Removes the POSIX object, System V segment and key file, and write-wait objects of `name`.
void remove_shared_objects(const std::string& name);

/// Owns one buffer name, unique to the process and the running test; removes what carries
/// that name when constructed and again when destroyed, so a failing test leaves nothing.
class ShmGuard {
public:
    explicit ShmGuard(const std::string& suffix = "");
    ~ShmGuard();
    ShmGuard(const ShmGuard&) = delete;
    ShmGuard& operator=(const ShmGuard&) = delete;

    /// The buffer name, ending in "_buffer".
    const std::string& name() const { return name_; }
    const char* c_str() const { return name_.c_str(); }
    /// The file of the POSIX object (or the System V key file) in /dev/shm.
    std::string path() const { return "/dev/shm/" + name_; }

private:
    std::string name_;
};

} // namespace zorvtest
