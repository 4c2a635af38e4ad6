// SPDX-License-Identifier: LGPL-2.1-or-later
// Key files of System V buffers: their key, whether they are orphans, and their removal.
#include "internal/inventory/sysv_key_file.h"
#include <cerrno>

#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <sys/shm.h>
#include <unistd.h>

#include <zorvgst/sysv_double_buffer.h>

#include "internal/inventory/shm_entry.h"

namespace bip = boost::interprocess;
using sysv_double_buffer::sysv_double_buffer_t;

namespace zorvgst::detail {

namespace {

/// Whether no segment exists for `key` (as opposed to one this user may not open).
bool no_segment(key_t key) {
    return ::shmget(key, 0, 0) == -1 && errno == ENOENT;
}

} // namespace

std::optional<key_t> existing_sysv_key(const std::string& name) {
    try {
        const key_t key = sysv_double_buffer_t::key_from_name(name.c_str(), false).get_key();
        if (key != 0) {
            return key;
        }
    } catch (const bip::interprocess_exception&) {
        // ftok failed: the key file went away after it was found.
    }
    return std::nullopt;
}

bool is_settled_orphan_key_file(const std::string& name) {
    const auto st = shm_entry_status(name);
    if (!st || !S_ISREG(st->st_mode) || st->st_size != 0) {
        return false;
    }
    const auto key = existing_sysv_key(name);
    if (!key || !no_segment(*key)) {
        return false;
    }
    using clock = std::chrono::system_clock;
    const auto modified =
        clock::from_time_t(st->st_mtim.tv_sec) +
        std::chrono::duration_cast<clock::duration>(std::chrono::nanoseconds(st->st_mtim.tv_nsec));
    return clock::now() - modified >= orphan_grace_period;
}

void remove_sysv_leftovers(const std::string& name) {
    ::unlink(sysv_double_buffer_t::get_key_file_path(name.c_str()).c_str());
    bip::named_condition::remove(sysv_double_buffer::build_write_wait_condition_name(name).c_str());
    bip::named_mutex::remove(
        sysv_double_buffer::build_write_wait_condition_mutex_name(name).c_str());
}

} // namespace zorvgst::detail
