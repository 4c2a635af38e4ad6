// SPDX-License-Identifier: LGPL-2.1-or-later
// POSIX buffers with a chosen owner, for expiry tests.
#include "support/owned_buffers.h"
#include <cstddef>

#include <zorvgst/double_buffer.h>

#include "support/child_process.h"
#include "support/raw_shm.h"

namespace zorvtest {

pid_t make_buffers_by_owner(const std::string& dead, const std::string& alive,
                            const std::string& unowned) {
    for (const std::string* name : {&dead, &alive, &unowned}) {
        double_buffer_t writer(name->c_str(), boost::interprocess::read_write, 8, 4);
        if (!writer.is_valid()) {
            return -1;
        }
    }
    // Rewritten behind the library's back, as an owner that died or never claimed it leaves it.
    constexpr std::size_t owner_offset = offsetof(double_buffer_header_t, owner_pid);
    const pid_t gone = dead_pid();
    if (!poke<pid_t>(dead, owner_offset, gone) || !poke<pid_t>(unowned, owner_offset, 0)) {
        return -1;
    }
    return gone;
}

} // namespace zorvtest
