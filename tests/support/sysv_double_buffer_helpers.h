// SPDX-License-Identifier: LGPL-2.1-or-later
// Probes of the system objects a System V double buffer consists of, for its tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>

namespace sysvtest {

inline bool file_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

/// Size of the file at `path`, or -1.
inline long long file_size(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

inline bool write_wait_objects_exist(const std::string& name) {
    return file_exists("/dev/shm/" + name + "_cond") &&
           file_exists("/dev/shm/sem." + name + "_cond_mutex");
}

inline bool no_write_wait_objects(const std::string& name) {
    return !file_exists("/dev/shm/" + name + "_cond") &&
           !file_exists("/dev/shm/sem." + name + "_cond_mutex");
}

/// The System V key of a key file, or -1 when the file is missing.
inline key_t key_of(const std::string& key_file) {
    return ::ftok(key_file.c_str(), 59);
}

/// Segment size and permission bits by identifier; false when no such segment.
inline bool segment_info(int shmid, std::size_t& size, unsigned& perms) {
    shmid_ds info{};
    if (::shmctl(shmid, IPC_STAT, &info) != 0) {
        return false;
    }
    size = info.shm_segsz;
    perms = info.shm_perm.mode & 0777;
    return true;
}

inline bool segment_exists(int shmid) {
    std::size_t size = 0;
    unsigned perms = 0;
    return segment_info(shmid, size, perms);
}

inline std::int64_t raw_bits(const boost::posix_time::ptime& time) {
    std::int64_t bits;
    std::memcpy(&bits, &time, sizeof(bits));
    return bits;
}

/// A deadline `ms` from now, in UTC as the wait reads it.
inline boost::posix_time::ptime utc_in(long ms) {
    return boost::posix_time::microsec_clock::universal_time() +
           boost::posix_time::milliseconds(ms);
}

class stopwatch {
public:
    long long elapsed_ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

} // namespace sysvtest
