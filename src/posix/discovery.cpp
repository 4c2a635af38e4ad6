// SPDX-License-Identifier: LGPL-2.1-or-later
// Listing double buffers, reading their owner, and removing those whose owner has died.
#include <utility>

#include <boost/filesystem/path.hpp>
#include <boost/interprocess/exceptions.hpp>

#include <zorvgst/posix_double_buffer.h>

#include "internal/buffer_listing.h"
#include "internal/log.h"
#include "internal/process_liveness.h"
#include "internal/shm_access.h"

namespace bip = boost::interprocess;
namespace fs = boost::filesystem;
using zorvgst::detail::load_acquire;

std::vector<std::string>
posix_double_buffer_t::get_double_buffer_names(const std::string& directory) {
    using zorvgst::detail::directory_listing;
    const fs::path dir(directory);
    directory_listing listing = zorvgst::detail::list_buffer_entries(dir);
    if (listing.result == directory_listing::outcome::not_a_directory) {
        ZORV_LOG_ERROR("Error " << dir << " is not a directory");
    } else if (listing.result == directory_listing::outcome::walk_failed) {
        ZORV_LOG_ERROR("Error reading pid_file from " << dir << " " << listing.walk_error);
    }
    return std::move(listing.names);
}

std::vector<std::string> posix_double_buffer_t::get_double_buffer_names() {
    return get_double_buffer_names("/dev/shm");
}

pid_t posix_double_buffer_t::get_double_buffer_owner(const std::string& name) {
    try {
        bip::shared_memory_object object(bip::open_only, name.c_str(), bip::read_only);
        bip::mapped_region mapped(object, bip::read_only, 0, 0);
        // Anyone may create an object of this name: read nothing the mapping does not hold.
        if (mapped.get_size() < sizeof(std::uint32_t)) {
            return 0;
        }
        const auto* header = static_cast<const double_buffer_header_t*>(mapped.get_address());
        const std::uint32_t type = load_acquire(header->buffer_type);
        if (type != 0) {
            ZORV_LOG_ERROR("Not A Double Buffer: " << static_cast<std::int32_t>(type));
            return 0;
        }
        if (mapped.get_size() < sizeof(double_buffer_header_t)) {
            return 0;
        }
        return load_acquire(header->owner_pid);
    } catch (const bip::interprocess_exception& e) {
        ZORV_LOG_ERROR("Interprocess Exception: " << e.what());
        return 0;
    }
}

void posix_double_buffer_t::remove(const char* name) {
    ZORV_LOG_DEBUG("Removing Double Buffer Shm: " << name);
    if (!bip::shared_memory_object::remove(name)) {
        ZORV_LOG_WARN("Failed to Remove Double Buffer Shm: " << name);
    }
}

bool posix_double_buffer_t::remove_double_buffer_if_owner_pid_expired(const char* name) {
    pid_t owner = 0;
    {
        posix_double_buffer_t handle(name, bip::read_only);
        const double_buffer_header_t* header = handle.valid ? handle.get_header() : nullptr;
        if (header == nullptr) {
            return false;
        }
        owner = load_acquire(header->owner_pid);
    }
    // Zero means no owner; a refused signal means the owner lives under another user.
    if (!zorvgst::detail::process_has_exited(owner)) {
        return false;
    }
    ZORV_LOG_DEBUG("Expiring Buffer: " << name);
    remove(name);
    return true;
}
