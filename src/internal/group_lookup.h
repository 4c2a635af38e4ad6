// SPDX-License-Identifier: LGPL-2.1-or-later
// Id of a named group, looked up safely from any thread.
#pragma once

#include <cerrno>
#include <vector>

#include <grp.h>
#include <sys/types.h>

namespace zorvgst::detail {

/// What `find_group_id` gives for a group that does not exist: never the id of a group.
constexpr gid_t no_group = static_cast<gid_t>(-1);

/// The id of group `name`, or `no_group` when it does not exist or cannot be read. The
/// reentrant lookup: handles may be opened on several threads at once, and a long member list
/// only grows the scratch buffer (up to 1 MiB).
inline gid_t find_group_id(const char* name) {
    std::vector<char> scratch(1024);
    group entry{};
    group* found = nullptr;
    int error = 0;
    while ((error = getgrnam_r(name, &entry, scratch.data(), scratch.size(), &found)) == ERANGE &&
           scratch.size() < (1u << 20)) {
        scratch.resize(scratch.size() * 2);
    }
    return error == 0 && found != nullptr ? found->gr_gid : no_group;
}

} // namespace zorvgst::detail
