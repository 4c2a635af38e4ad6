// One face for both double-buffer backends, so fault and soak tests run the same scenario on each.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/sysv_double_buffer.h>

#include "support/raw_shm.h"

namespace faulttest {

namespace bip = boost::interprocess;

inline bool path_exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

struct PosixBackend {
    using handle = posix_double_buffer_t;
    static constexpr const char* label = "posix";

    /// The wait reads local time.
    static boost::posix_time::ptime deadline_in(long ms) {
        return boost::posix_time::microsec_clock::local_time() +
               boost::posix_time::milliseconds(ms);
    }
    static bool expire(const std::string& name) {
        return handle::remove_double_buffer_if_owner_pid_expired(name.c_str());
    }
    static pid_t owner(const std::string& name) { return handle::get_double_buffer_owner(name); }
    static bool gone(const std::string& name) { return !path_exists("/dev/shm/" + name); }
    /// Bytes of the object the handle maps, as the system sees it now.
    static std::uint64_t object_size(const handle& buffer) {
        struct stat info {};
        const std::string path = "/dev/shm/" + buffer.get_name();
        return ::stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    }
    /// Writes a 32-bit header field the way a hostile peer would; `offset` is the field's place
    /// in the POSIX header.
    static bool poke32(const handle& buffer, std::size_t offset, std::uint32_t value) {
        return zorvtest::poke(buffer.get_name(), offset, value);
    }
    static constexpr std::size_t indicator_offset = 4;
    static constexpr std::size_t width_offset = 16;
    static constexpr std::size_t height_offset = 20;
};

struct SysvBackend {
    using handle = sysv_double_buffer::sysv_double_buffer_t;
    static constexpr const char* label = "sysv";

    /// The wait reads UTC.
    static boost::posix_time::ptime deadline_in(long ms) {
        return boost::posix_time::microsec_clock::universal_time() +
               boost::posix_time::milliseconds(ms);
    }
    static bool expire(const std::string& name) {
        return handle::remove_double_buffer_if_owner_pid_expired(name.c_str());
    }
    static pid_t owner(const std::string& name) { return handle::get_double_buffer_owner(name); }
    static bool gone(const std::string& name) {
        const std::string base = "/dev/shm/" + name;
        return !path_exists(base) && !path_exists(base + "_cond") &&
               !path_exists("/dev/shm/sem." + name + "_cond_mutex");
    }
    static std::uint64_t object_size(const handle& buffer) {
        shmid_ds info{};
        return ::shmctl(buffer.get_shmid(), IPC_STAT, &info) == 0 ? info.shm_segsz : 0;
    }
    static bool poke32(const handle& buffer, std::size_t offset, std::uint32_t value) {
        void* base = ::shmat(buffer.get_shmid(), nullptr, 0);
        if (base == reinterpret_cast<void*>(-1)) {
            return false;
        }
        std::memcpy(static_cast<unsigned char*>(base) + offset, &value, sizeof(value));
        ::shmdt(base);
        return true;
    }
    static constexpr std::size_t indicator_offset = 0;
    static constexpr std::size_t width_offset = 16;
    static constexpr std::size_t height_offset = 20;
};

/// Frames published so far, read as a reader must: ordered with the pixels around it.
template <typename Header> std::uint64_t frame_count_of(const Header* header) {
    std::uint64_t value = 0;
    __atomic_load(&header->frame_count, &value, __ATOMIC_ACQUIRE);
    return value;
}

/// Orders a reader's copy of a slot before its second look at the frame count (a seqlock read).
/// ThreadSanitizer does not model fences; there a compiler barrier stands in, which x86's ordered
/// loads make sufficient.
inline void copy_then_recheck_fence() {
#if defined(__SANITIZE_THREAD__)
    __asm__ __volatile__("" ::: "memory");
#else
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
#endif
}

/// One-byte channel from a child to the parent; reads are bounded.
class Signal {
public:
    Signal() {
        if (::pipe(fds_) != 0) {
            fds_[0] = fds_[1] = -1;
        }
    }
    ~Signal() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
    void raise() const {
        const char byte = 1;
        (void)!::write(fds_[1], &byte, 1);
    }
    bool wait(int timeout_ms = 5000) const {
        pollfd readable{fds_[0], POLLIN, 0};
        char byte = 0;
        return ::poll(&readable, 1, timeout_ms) == 1 && ::read(fds_[0], &byte, 1) == 1;
    }

private:
    int fds_[2];
};

inline std::int64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

} // namespace faulttest
