// SPDX-License-Identifier: LGPL-2.1-or-later
// POSIX shared-memory objects left the way a hostile or crashed writer leaves them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace zorvfuzz {

inline void remove_posix_object(const std::string& name) {
    ::shm_unlink(("/" + name).c_str());
}

/// Replaces the object `name` by one of `size` bytes that starts with as many of the `count`
/// bytes at `bytes` as fit, zeros after them; false when it cannot be made.
inline bool plant_posix_object(const std::string& name, std::size_t size, const std::uint8_t* bytes,
                               std::size_t count) {
    remove_posix_object(name);
    const int fd = ::shm_open(("/" + name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd < 0) {
        return false;
    }
    bool planted = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    const std::size_t written = count < size ? count : size;
    if (planted && written > 0) {
        planted = ::pwrite(fd, bytes, written, 0) == static_cast<ssize_t>(written);
    }
    ::close(fd);
    return planted;
}

} // namespace zorvfuzz
