// SPDX-License-Identifier: LGPL-2.1-or-later
// Removing the buffers whose owner has died and System V key files left without a segment.
#include <optional>

#include <boost/interprocess/exceptions.hpp>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

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

namespace {

/// Removes the frame ring `name` if its writer has gone, looked at again right before: only the
/// object looked at, never one a new writer has made under the name since. Nothing when `name`
/// holds no ring.
std::optional<bool> remove_ring_if_owner_gone(const std::string& name) {
    const std::optional<detail::ring_object> ring = detail::read_ring_object(name, false);
    if (!ring) {
        return std::nullopt;
    }
    if (!ring->header_whole || ring->header.owner_pid <= 0 ||
        detail::ring_owner_alive(ring->header)) {
        return false;
    }
    // Retired through the very object looked at: a ring a new writer made under the name in
    // between keeps its header.
    const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    struct stat now {};
    if (::fstat(fd, &now) != 0 || now.st_dev != ring->device || now.st_ino != ring->inode) {
        ::close(fd);
        return false;
    }
    // Its readers sleep until a frame or this: they move on now, not at their next look.
    detail::retire_posix_object(fd);
    ::close(fd);
    ::shm_unlink(("/" + name).c_str());
    return !detail::shm_entry_exists(name);
}

/// Removes the buffer if its owner has died, through the library's own check, which looks at
/// the owner again right before removing; true when it was removed.
bool remove_if_owner_gone(const std::string& name, backend kind) {
    if (kind == backend::posix) {
        if (const std::optional<bool> removed = remove_ring_if_owner_gone(name)) {
            return *removed;
        }
        // Held open across the removal, which checks the owner itself: once it is gone, its
        // readers (asleep until a frame nobody will publish) are told.
        const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CLOEXEC, 0);
        const bool removed =
            double_buffer_t::remove_double_buffer_if_owner_pid_expired(name.c_str()) &&
            !detail::shm_entry_exists(name);
        if (fd >= 0) {
            if (removed) {
                detail::retire_posix_object(fd);
            }
            ::close(fd);
        }
        return removed;
    }
    try {
        if (!sysv_double_buffer::sysv_double_buffer_t::remove_double_buffer_if_owner_pid_expired(
                name.c_str())) {
            return false;
        }
    } catch (const boost::interprocess::interprocess_exception&) {
        // The owner was dead and the segment went away before the removal reached it.
        detail::remove_sysv_leftovers(name);
    }
    return !detail::shm_entry_exists(name);
}

/// Removes an orphan key file with its write-wait objects; true when it did. Checked again
/// right before the removal: a writer may have reused the key file since it was found, and its
/// new segment must keep the key file that leads to it.
bool remove_if_settled_orphan(const std::string& name) {
    if (!detail::is_settled_orphan_key_file(name)) {
        return false;
    }
    detail::remove_sysv_leftovers(name);
    return !detail::shm_entry_exists(name);
}

} // namespace

std::vector<buffer_status> expire_buffers(const std::vector<std::string>& names, bool dry_run) {
    std::vector<expiry_failure> ignored;
    return expire_buffers(names, dry_run, ignored);
}

std::vector<buffer_status> expire_buffers(const std::vector<std::string>& names, bool dry_run,
                                          std::vector<expiry_failure>& failures) {
    // Named buffers limit the sweep: a supervisor of one application leaves the others' alone.
    const bool named = !names.empty();
    const std::vector<std::string> candidates =
        named ? names : detail::sorted_buffer_names(detail::shm_directory);
    std::vector<buffer_status> expired;
    for (const auto& name : candidates) {
        const auto status = detail::probe_buffer(name);
        if (!status) {
            if (named) {
                failures.push_back({name, expiry_failure_reason::not_found});
            }
            continue;
        }
        if (status->state == buffer_state::orphan) {
            // Left young, it may be a writer's key file whose segment is about to follow.
            if (!detail::is_settled_orphan_key_file(name)) {
                continue;
            }
            if (dry_run || remove_if_settled_orphan(name)) {
                expired.push_back(*status);
            } else if (detail::shm_entry_exists(name) && detail::is_settled_orphan_key_file(name)) {
                failures.push_back({name, expiry_failure_reason::left_behind});
            }
            continue;
        }
        // Only a known owner that has gone away makes a buffer expire.
        if (status->owner_pid <= 0 || status->owner_alive) {
            continue;
        }
        if (dry_run || remove_if_owner_gone(name, status->backend)) {
            expired.push_back(*status);
        } else if (detail::shm_entry_exists(name)) {
            failures.push_back({name, expiry_failure_reason::left_behind});
        }
    }
    return expired;
}

} // namespace zorvgst
