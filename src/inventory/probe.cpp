// SPDX-License-Identifier: LGPL-2.1-or-later
// Status of one buffer: through a read-only handle (POSIX) or a read-only attachment of an
// existing segment (System V).
#include "internal/inventory/probe.h"
#include <cerrno>
#include <cstring>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/sysv_double_buffer.h>

#include "internal/buffer_geometry.h"
#include "internal/fault_guard.h"
#include "internal/header_time.h"
#include "internal/inventory/ring_object.h"
#include "internal/inventory/shm_entry.h"
#include "internal/inventory/sysv_key_file.h"
#include "internal/process_liveness.h"

namespace bip = boost::interprocess;

namespace zorvgst::detail {

namespace {

/// Copies the header out of the mapping at once, so that every field reported comes from the
/// same instant. False when the object shrank under the copy (SIGBUS): nothing was read.
template <typename Header> bool snapshot(const Header* header, Header& copy) {
    return fault_guarded([&] {
        std::memcpy(static_cast<void*>(&copy), static_cast<const void*>(header), sizeof(copy));
    });
}

/// Fills the header's fields, as stored (also dimensions that do not fit: that is the report).
template <typename Header> void take_header_fields(const Header& header, buffer_status& status) {
    status.width = header.width;
    status.height = header.height;
    status.owner_pid = header.owner_pid;
    status.owner_alive = header.owner_pid > 0 && !process_has_exited(header.owner_pid);
    status.frame_count = header.frame_count;
    const auto time = utc_from_header_time(header.last_write_time);
    status.last_write_time = time.time;
    status.last_write_time_invalid = time.invalid;
}

/// A frame ring keeps owner, size, count and time where a double buffer does; it is ready when
/// its header describes exactly the object it is in and its writer has sized it.
buffer_status probe_ring(const ring_object& ring, buffer_status& status) {
    status.bytes = ring.object_bytes;
    if (!ring.header_whole) {
        return status;
    }
    take_header_fields(ring.header, status);
    status.owner_alive = ring_owner_alive(ring.header);
    const bool sized = ring.consistent && ring.header.width != 0 && ring.header.height != 0;
    status.state = sized ? buffer_state::ready : buffer_state::not_ready;
    return status;
}

buffer_status probe_posix(const std::string& name, std::uint64_t object_bytes) {
    buffer_status status;
    status.name = name;
    status.backend = backend::posix;
    status.bytes = object_bytes;
    // A ring is no double buffer of any size: the handle would only log that.
    if (const std::optional<ring_object> ring = read_ring_object(name, false)) {
        return probe_ring(*ring, status);
    }
    // A reader opened without dimensions takes them from the header and maps nothing beyond
    // what the object holds; it never creates or resizes anything.
    posix_double_buffer_t handle(name.c_str(), bip::read_only);
    const bool usable = handle.is_valid();
    double_buffer_header_t header{};
    if (handle.get_header() == nullptr || !snapshot(handle.get_header(), header)) {
        return status;
    }
    if (header.buffer_type != double_buffer_type) {
        status.state = buffer_state::foreign;
        return status;
    }
    take_header_fields(header, status);
    status.state = usable ? buffer_state::ready : buffer_state::not_ready;
    return status;
}

/// Reads a System V header without the library's handle: a handle opens (and creates) the
/// write-wait condition and mutex and logs an error for every key file without a segment,
/// while inspecting must create nothing and take such a file for what it is, an orphan.
std::optional<buffer_status> probe_sysv(const std::string& name) {
    using sysv_double_buffer::sysv_double_buffer_header_t;
    const auto key = existing_sysv_key(name);
    if (!key) {
        return std::nullopt;
    }
    buffer_status status;
    status.name = name;
    status.backend = backend::sysv;
    const auto orphan_if = [&status](bool gone) {
        if (gone) {
            status.state = buffer_state::orphan;
        }
        return status;
    };
    const int shmid = ::shmget(*key, 0, 0);
    if (shmid == -1) {
        // Any other failure is a segment this user may not see: not ready, owner unknown.
        return orphan_if(errno == ENOENT);
    }
    struct shmid_ds segment {};
    if (::shmctl(shmid, IPC_STAT, &segment) != 0) {
        // Removed since shmget (EINVAL, EIDRM), or not readable by this user (EACCES).
        return orphan_if(errno != EACCES);
    }
    status.bytes = segment.shm_segsz;
    if (status.bytes < sizeof(sysv_double_buffer_header_t)) {
        // Another program's segment under a colliding key.
        status.state = buffer_state::foreign;
        return status;
    }
    void* const address = ::shmat(shmid, nullptr, SHM_RDONLY);
    if (address == reinterpret_cast<void*>(-1)) {
        return orphan_if(errno == EIDRM || errno == EINVAL);
    }
    sysv_double_buffer_header_t header{};
    // A segment never shrinks while attached: the copy cannot fault.
    std::memcpy(static_cast<void*>(&header), address, sizeof(header));
    ::shmdt(address);
    take_header_fields(header, status);
    const bool sized = header.width != 0 && header.height != 0;
    status.state = sized && slots_fit(header.width, header.height, status.bytes)
                       ? buffer_state::ready
                       : buffer_state::not_ready;
    return status;
}

} // namespace

std::optional<buffer_status> probe_buffer(const std::string& name) {
    const auto kind = shm_entry_backend(name);
    if (!kind) {
        return std::nullopt;
    }
    if (*kind == backend::sysv) {
        return probe_sysv(name);
    }
    const auto st = shm_entry_status(name);
    return probe_posix(name, st ? static_cast<std::uint64_t>(st->st_size) : 0);
}

} // namespace zorvgst::detail
