// SPDX-License-Identifier: LGPL-2.1-or-later
// Backing a writer's shared memory before it is used, and the words for when there is too little.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/types.h>

namespace zorvgst::detail {

/// The tmpfs holding POSIX objects and System V key files; a container's is sized by --shm-size.
inline constexpr const char* shm_directory = "/dev/shm";

/// Gives the object behind `fd` at least `size` bytes, every page of them backed. ftruncate alone
/// makes a sparse object: on a full tmpfs the first write to an unbacked page then ends the
/// process with SIGBUS, where this answers ENOSPC. Contents and any larger size stay; a failed
/// reservation on tmpfs leaves neither pages nor a new size behind. Returns 0 or the error number.
inline int reserve_shm_bytes(int fd, std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return EFBIG;
    }
    int error = 0;
    do {
        // Returns the error rather than setting errno. tmpfs gives back what an interrupted call
        // had allocated, so starting again costs nothing twice.
        error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    } while (error == EINTR);
    return error;
}

/// Bytes an unprivileged process may still allocate in `directory`; nothing when unreadable.
inline std::optional<std::uint64_t> shm_free_bytes(const char* directory = shm_directory) {
    struct statvfs info {};
    if (::statvfs(directory, &info) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

/// The facts of a shortage in /dev/shm, worded once for log lines and element messages alike:
/// "66355240 bytes needed, 33554432 bytes free in /dev/shm; containers need a larger --shm-size".
inline std::string shm_shortage_text(std::uint64_t needed_bytes,
                                     std::optional<std::uint64_t> free_bytes) {
    std::ostringstream text;
    text << needed_bytes << " bytes needed, ";
    if (free_bytes) {
        text << *free_bytes << " bytes free in " << shm_directory;
    } else {
        text << "free bytes in " << shm_directory << " unknown";
    }
    text << "; containers need a larger --shm-size";
    return text.str();
}

/// Why shmget refused to create a segment: the error and, where a kernel limit is behind it, the
/// limit's name and value. Segments live outside /dev/shm, so --shm-size does not apply here.
inline std::string sysv_refusal_text(int error) {
    const auto limit = [](const char* setting, const char* unit) {
        std::ifstream file(std::string("/proc/sys/kernel/") + setting);
        std::string value;
        return std::getline(file, value)
                   ? " (kernel." + std::string(setting) + " = " + value + unit + ")"
                   : std::string();
    };
    std::string text = std::strerror(error);
    if (error == EINVAL) {
        text += ": larger than one segment may be" + limit("shmmax", " bytes");
    } else if (error == ENOSPC) {
        text += ": the system's shared memory pages" + limit("shmall", " pages") + " or segments" +
                limit("shmmni", "") + " are used up";
    } else if (error == ENOMEM) {
        text += ": not enough memory";
    }
    return text;
}

} // namespace zorvgst::detail
