// SPDX-License-Identifier: LGPL-2.1-or-later
// Listing, finding and removing the double buffers of both backends.
#include <utility>

#include <boost/interprocess/exceptions.hpp>

#include <zorvgst/buffer_name.h>
#include <zorvgst/double_buffer.h>
#include <zorvgst/inventory.h>
#include <zorvgst/sysv_double_buffer.h>

#include "internal/frames/attached_buffer.h"
#include "internal/inventory/buffer_names.h"
#include "internal/inventory/probe.h"
#include "internal/inventory/ring_object.h"
#include "internal/inventory/shm_entry.h"
#include "internal/inventory/sysv_key_file.h"
#include "internal/shm_reservation.h"

namespace zorvgst {

std::vector<buffer_status> list_buffers() {
    return list_buffers(detail::shm_directory);
}

std::vector<buffer_status> list_buffers(const std::string& directory) {
    std::vector<buffer_status> buffers;
    for (const auto& name : detail::sorted_buffer_names(directory)) {
        // A buffer removed since the directory was read is simply no longer there.
        if (auto status = detail::probe_buffer(name)) {
            buffers.push_back(std::move(*status));
        }
    }
    return buffers;
}

std::optional<backend> find_backend(const std::string& name) {
    return detail::shm_entry_backend(name);
}

std::optional<buffer_status> find_buffer(const std::string& name) {
    return detail::probe_buffer(name);
}

bool remove_buffer(const std::string& name) {
    if (!zorvgst::is_plain_buffer_name(name)) {
        return false;
    }
    const auto kind = detail::shm_entry_backend(name);
    if (kind == backend::posix) {
        // A ring's readers asleep on it wake and let it go at once. A double buffer is left
        // as it is: its live writer would take a retired header for one to make anew.
        if (detail::read_ring_object(name, false)) {
            detail::retire_posix_buffer(name);
        }
        double_buffer_t::remove(name.c_str());
    } else if (kind == backend::sysv) {
        try {
            sysv_double_buffer::sysv_double_buffer_t::remove(name.c_str());
        } catch (const boost::interprocess::interprocess_exception&) {
            // The segment has gone already, and the library's removal gives up on the rest.
            detail::remove_sysv_leftovers(name);
        }
    }
    return !detail::shm_entry_exists(name);
}

} // namespace zorvgst
