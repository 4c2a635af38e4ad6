// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading a frame ring's header and reader table with pread, checked against the object's size.
#include "internal/inventory/ring_object.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal/inventory/shm_entry.h"
#include "internal/process_liveness.h"
#include "internal/ring/process_identity.h"

namespace zorvgst::detail {

namespace {

bool read_exactly(int fd, void* into, std::size_t bytes, std::uint64_t offset) {
    return ::pread(fd, into, bytes, static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes);
}

} // namespace

std::optional<ring_object> read_ring_object(const std::string& name, bool with_reader_table) {
    // A link or a System V key file planted under the name is no ring.
    if (shm_entry_backend(name) != backend::posix) {
        return std::nullopt;
    }
    const int fd = ::shm_open(("/" + name).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    ring_object ring;
    struct stat info {};
    std::uint32_t type = 0;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        !read_exactly(fd, &type, sizeof(type), 0) || type != ring::ring_buffer_type) {
        ::close(fd);
        return std::nullopt;
    }
    ring.object_bytes = static_cast<std::uint64_t>(info.st_size);
    ring.device = info.st_dev;
    ring.inode = info.st_ino;
    // A short read leaves the rest zero; the object may also have shrunk since fstat.
    const ssize_t got = ::pread(fd, &ring.header, sizeof(ring.header), 0);
    ring.header_whole = got == static_cast<ssize_t>(sizeof(ring.header));
    if (!ring.header_whole) {
        ring.header = ring::ring_header{};
        ring.header.buffer_type = ring::ring_buffer_type;
    }
    ring.consistent = ring.header_whole &&
                      ring::header_matches_object(ring.header, ring.object_bytes, ring.geometry);
    if (ring.consistent && with_reader_table) {
        // Bounded by the checked counts: at most max_readers x (1 + max_leases_per_reader).
        const std::size_t words =
            std::size_t{ring.header.reader_count} * (1 + ring.header.leases_per_reader);
        ring.reader_table.assign(words, 0);
        if (!read_exactly(fd, ring.reader_table.data(), words * sizeof(std::uint64_t),
                          ring.geometry.reader_table)) {
            ring.reader_table.clear();
            ring.consistent = false;
        }
    }
    ::close(fd);
    return ring;
}

bool ring_owner_alive(const ring::ring_header& header) {
    if (header.owner_pid <= 0) {
        return false;
    }
    // A writer that could not read its own start time recorded 0: its pid alone must do, as for
    // a double buffer, rather than take a live writer for a dead one.
    if (header.owner_start_time == 0) {
        return !process_has_exited(header.owner_pid);
    }
    return same_process_alive(header.owner_pid, header.owner_start_time & 0x7fffffffu);
}

} // namespace zorvgst::detail
