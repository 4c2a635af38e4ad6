// Id of a named group, looked up safely from any thread.
#pragma once

#include <cerrno>
#include <vector>

#include <grp.h>
#include <sys/types.h>

namespace zorvgst::detail {

/// The id of group `name` in `gid`, or false when the group does not exist or cannot be read.
/// The reentrant lookup: handles may be opened on several threads at once, and a long member
/// list only grows the scratch buffer (up to 1 MiB).
inline bool find_group_id(const char* name, gid_t& gid) {
    std::vector<char> scratch(1024);
    group entry{};
    group* found = nullptr;
    int error = 0;
    while ((error = getgrnam_r(name, &entry, scratch.data(), scratch.size(), &found)) == ERANGE &&
           scratch.size() < (1u << 20)) {
        scratch.resize(scratch.size() * 2);
    }
    if (error != 0 || found == nullptr) {
        return false;
    }
    gid = found->gr_gid;
    return true;
}

} // namespace zorvgst::detail
