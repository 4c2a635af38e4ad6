// SPDX-License-Identifier: LGPL-2.1-or-later
// System V double buffer housekeeping: listing, owner query, removal and expiry of dead owners.
#include <utility>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <boost/interprocess/xsi_shared_memory.hpp>
#include <sys/shm.h>
#include <unistd.h>

#include <zorvgst/buffer_name.h>

#include "internal/buffer_listing.h"
#include "internal/log.h"
#include "internal/process_liveness.h"
#include "internal/shm_access.h"
#include "internal/sysv/common.h"

namespace sysv_double_buffer {

namespace ipc = boost::interprocess;
namespace fs = boost::filesystem;

std::vector<std::string>
sysv_double_buffer_t::get_double_buffer_names(const std::string& directory) {
    using zorvgst::detail::directory_listing;
    const fs::path directory_path(directory);
    directory_listing listing = zorvgst::detail::list_buffer_entries(directory_path);
    if (listing.result == directory_listing::outcome::not_a_directory) {
        ZORV_LOG_ERROR("Error " << directory_path << " is not a directory");
    } else if (listing.result == directory_listing::outcome::walk_failed) {
        ZORV_LOG_ERROR("Error reading pid_file from " << directory_path << " "
                                                      << listing.walk_error);
    }
    return std::move(listing.names);
}

std::vector<std::string> sysv_double_buffer_t::get_double_buffer_names() {
    return get_double_buffer_names(shm_file_path().string());
}

pid_t sysv_double_buffer_t::get_double_buffer_owner(const std::string& buffer_name) {
    if (!zorvgst::is_plain_buffer_name(buffer_name)) {
        ZORV_LOG_ERROR("Invalid Double Buffer Name: " << buffer_name);
        return 0;
    }
    try {
        const sysv_double_buffer_t buffer(buffer_name.c_str(), ipc::read_only);
        const sysv_double_buffer_header_t* header = buffer.get_header();
        if (!buffer.valid || header == nullptr) {
            return 0;
        }
        return zorvgst::detail::load_acquire(header->owner_pid);
    } catch (const ipc::interprocess_exception& e) {
        ZORV_LOG_ERROR("Interprocess Exception: " << e.what());
        return 0;
    }
}

void sysv_double_buffer_t::remove(const char* buffer_name) {
    const std::string checked_name(buffer_name);
    if (!zorvgst::is_plain_buffer_name(checked_name)) {
        ZORV_LOG_ERROR("Invalid Double Buffer Name: " << checked_name);
        return;
    }
    const ipc::xsi_key key = key_from_name(buffer_name, false);
    if (key.get_key() != 0) {
        ZORV_LOG_WARN("Removing Double Buffer Shm: " << checked_name
                                                     << " w/Key: " << detail::hex_key(key));
        // A key file without its segment ends the removal here with Boost's exception.
        const ipc::xsi_shared_memory segment(ipc::open_only, key);
        if (shmctl(segment.get_shmid(), IPC_RMID, nullptr) != 0) {
            ZORV_LOG_WARN("Failed to Remove Double Buffer Shm: " << checked_name << " w/Key: "
                                                                 << detail::hex_key(key));
        } else {
            const fs::path key_file = get_key_file_path(buffer_name);
            if (fs::exists(fs::status(key_file))) {
                ZORV_LOG_DEBUG("Unlinking: " << key_file);
                ::unlink(key_file.c_str());
            }
        }
    }
    const std::string condition_name = build_write_wait_condition_name(checked_name);
    if (!ipc::named_condition::remove(condition_name.c_str())) {
        ZORV_LOG_WARN("Failed to Remove Double Buffer Shm Condition: " << condition_name);
    }
    const std::string mutex_name = build_write_wait_condition_mutex_name(checked_name);
    if (!ipc::named_mutex::remove(mutex_name.c_str())) {
        ZORV_LOG_WARN("Failed to Remove Double Buffer Shm Condition Mutex: " << mutex_name);
    }
}

bool sysv_double_buffer_t::remove_double_buffer_if_owner_pid_expired(const char* buffer_name) {
    const std::string checked_name(buffer_name);
    if (!zorvgst::is_plain_buffer_name(checked_name)) {
        ZORV_LOG_ERROR("Invalid Double Buffer Name: " << checked_name);
        return false;
    }
    pid_t owner = 0;
    {
        // Detached again before the owner is tested.
        const sysv_double_buffer_t buffer(buffer_name, ipc::read_only);
        const sysv_double_buffer_header_t* header = buffer.get_header();
        if (!buffer.valid || header == nullptr) {
            return false;
        }
        owner = zorvgst::detail::load_acquire(header->owner_pid);
    }
    if (!zorvgst::detail::process_has_exited(owner)) {
        return false;
    }
    ZORV_LOG_DEBUG("Expiring Buffer: " << checked_name);
    remove(buffer_name);
    return true;
}

} // namespace sysv_double_buffer
