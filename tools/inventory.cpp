// Finding, reading, removing and expiring double buffers of both backends through the public API.
#include "inventory.h"
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/sysv_double_buffer.h>

namespace bip = boost::interprocess;

namespace zorvgst_shm {

namespace {

/// Copies the header out of the mapping at once, so that every field printed comes from the same
/// instant and a writer changing it meanwhile cannot make the report inconsistent.
template <typename Header> Header snapshot(const Header* header) {
    Header copy;
    std::memcpy(static_cast<void*>(&copy), static_cast<const void*>(header), sizeof(copy));
    return copy;
}

std::optional<struct stat> stat_entry(const std::string& name) {
    struct stat st {};
    // lstat: a link planted in the shared directory is not a buffer, and is never followed.
    if (::lstat((default_directory() + "/" + name).c_str(), &st) != 0) {
        return std::nullopt;
    }
    return st;
}

buffer_info_t probe_posix(const std::string& name, std::uint64_t object_size) {
    buffer_info_t info;
    info.name = name;
    info.backend = backend_t::posix;
    info.size = object_size;
    // A reader opened without dimensions takes them from the header and maps nothing beyond
    // what the object holds; it never creates or resizes anything.
    posix_double_buffer_t handle(name.c_str(), bip::read_only);
    info.ready = handle.is_valid();
    if (const double_buffer_header_t* header = handle.get_header()) {
        const double_buffer_header_t h = snapshot(header);
        info.foreign = h.buffer_type != double_buffer_type;
        if (!info.foreign) {
            // Dimensions as stored, also when they do not fit the object: that is the report.
            info.width = h.width;
            info.height = h.height;
            info.owner_pid = h.owner_pid;
            info.frame_count = h.frame_count;
            info.last_write_time = h.last_write_time;
        }
    }
    info.ready = info.ready && !info.foreign;
    info.owner_alive = process_alive(info.owner_pid);
    return info;
}

/// Whether a header and both frames of `width` x `height` fit in `bytes`. Computed without a
/// product that could wrap, since the dimensions come from shared memory.
bool frames_fit(std::uint32_t width, std::uint32_t height, std::uint64_t bytes) {
    constexpr std::uint64_t header_bytes = sizeof(sysv_double_buffer::sysv_double_buffer_header_t);
    const std::uint64_t pixels = std::uint64_t{width} * height; // 32 x 32 bits cannot wrap
    // Two slots of four bytes per pixel.
    return bytes >= header_bytes && pixels <= (bytes - header_bytes) / 8;
}

/// The System V key of an existing key file, or nothing when it has gone. Never creates it.
std::optional<key_t> existing_sysv_key(const std::string& name) {
    try {
        const key_t key =
            sysv_double_buffer::sysv_double_buffer_t::key_from_name(name.c_str(), false).get_key();
        if (key != 0) {
            return key;
        }
    } catch (const bip::interprocess_exception&) {
        // ftok failed: the key file went away after it was found.
    }
    return std::nullopt;
}

/// Whether no segment exists for `key` (as opposed to one we may not open).
bool no_segment(key_t key) {
    return ::shmget(key, 0, 0) == -1 && errno == ENOENT;
}

/// Reads a SysV header without the library's handle: a handle opens (and creates) the
/// write-wait condition and mutex and logs an error for every key file without a segment, while
/// inspecting must create nothing and take such a file for what it is, an orphan.
std::optional<buffer_info_t> probe_sysv(const std::string& name) {
    using sysv_double_buffer::sysv_double_buffer_header_t;
    const auto key = existing_sysv_key(name);
    if (!key) {
        return std::nullopt;
    }
    buffer_info_t info;
    info.name = name;
    info.backend = backend_t::sysv;
    const int shmid = ::shmget(*key, 0, 0);
    if (shmid == -1) {
        // Any other failure is a segment this user may not see: not ready, owner unknown.
        info.orphan = errno == ENOENT;
        return info;
    }
    struct shmid_ds segment {};
    if (::shmctl(shmid, IPC_STAT, &segment) != 0) {
        // Removed since shmget (EINVAL, EIDRM), or not readable by this user (EACCES).
        info.orphan = errno != EACCES;
        return info;
    }
    info.size = segment.shm_segsz;
    if (info.size < sizeof(sysv_double_buffer_header_t)) {
        // Another program's segment under a colliding key.
        info.foreign = true;
        return info;
    }
    void* const address = ::shmat(shmid, nullptr, SHM_RDONLY);
    if (address == reinterpret_cast<void*>(-1)) {
        info.orphan = errno == EIDRM || errno == EINVAL;
        return info;
    }
    const auto h = snapshot(static_cast<const sysv_double_buffer_header_t*>(address));
    ::shmdt(address);
    // Dimensions as stored, also when they do not fit the segment: that is the report.
    info.width = h.width;
    info.height = h.height;
    info.owner_pid = h.owner_pid;
    info.frame_count = h.frame_count;
    info.last_write_time = h.last_write_time;
    info.ready = h.width != 0 && h.height != 0 && frames_fit(h.width, h.height, info.size);
    info.owner_alive = process_alive(info.owner_pid);
    return info;
}

/// The pieces of a SysV buffer that its own removal leaves when the segment has already gone
/// (the library then throws and removes nothing): the key file and the write-wait objects.
void remove_sysv_leftovers(const std::string& name) {
    using sysv_double_buffer::sysv_double_buffer_t;
    ::unlink(sysv_double_buffer_t::get_key_file_path(name.c_str()).c_str());
    bip::named_condition::remove(sysv_double_buffer::build_write_wait_condition_name(name).c_str());
    bip::named_mutex::remove(
        sysv_double_buffer::build_write_wait_condition_mutex_name(name).c_str());
}

} // namespace

const char* backend_name(backend_t backend) {
    return backend == backend_t::sysv ? "sysv" : "posix";
}

const std::string& default_directory() {
    static const std::string directory = "/dev/shm";
    return directory;
}

std::vector<std::string> list_names(const std::string& directory) {
    std::vector<std::string> names = posix_double_buffer_t::get_double_buffer_names(directory);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::optional<backend_t> detect_backend(const std::string& name) {
    // Names are single entries of the shared-memory directory; anything else is not a buffer.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        return std::nullopt;
    }
    const auto st = stat_entry(name);
    if (!st || !S_ISREG(st->st_mode)) {
        return std::nullopt;
    }
    // A POSIX buffer is the object itself; a SysV buffer leaves an empty key file of its name.
    return st->st_size == 0 ? backend_t::sysv : backend_t::posix;
}

std::optional<buffer_info_t> probe(const std::string& name) {
    const auto backend = detect_backend(name);
    if (!backend) {
        return std::nullopt;
    }
    if (*backend == backend_t::posix) {
        const auto st = stat_entry(name);
        return probe_posix(name, st ? static_cast<std::uint64_t>(st->st_size) : 0);
    }
    return probe_sysv(name);
}

bool process_alive(pid_t pid) {
    if (pid <= 0) {
        return false;
    }
    return ::kill(pid, 0) == 0 || errno != ESRCH;
}

bool remove_buffer(const std::string& name, backend_t backend) {
    if (backend == backend_t::posix) {
        double_buffer_t::remove(name.c_str());
        return !buffer_exists(name);
    }
    try {
        sysv_double_buffer::sysv_double_buffer_t::remove(name.c_str());
    } catch (const bip::interprocess_exception&) {
        remove_sysv_leftovers(name);
    }
    return !buffer_exists(name);
}

bool expire_buffer(const std::string& name, backend_t backend) {
    if (backend == backend_t::posix) {
        return double_buffer_t::remove_double_buffer_if_owner_pid_expired(name.c_str()) &&
               !buffer_exists(name);
    }
    try {
        if (!sysv_double_buffer::sysv_double_buffer_t::remove_double_buffer_if_owner_pid_expired(
                name.c_str())) {
            return false;
        }
    } catch (const bip::interprocess_exception&) {
        // The owner was dead and the segment went away before the removal reached it.
        remove_sysv_leftovers(name);
    }
    return !buffer_exists(name);
}

bool orphan_expired(const std::string& name) {
    const auto st = stat_entry(name);
    if (!st || !S_ISREG(st->st_mode) || st->st_size != 0) {
        return false;
    }
    const auto key = existing_sysv_key(name);
    if (!key || !no_segment(*key)) {
        return false;
    }
    using clock = std::chrono::system_clock;
    const auto modified =
        clock::from_time_t(st->st_mtim.tv_sec) +
        std::chrono::duration_cast<clock::duration>(std::chrono::nanoseconds(st->st_mtim.tv_nsec));
    return clock::now() - modified >= orphan_grace_period;
}

bool expire_orphan(const std::string& name) {
    // Checked again right before the removal: a writer may have reused the key file since it
    // was listed, and its new segment must keep the key file that leads to it.
    if (!orphan_expired(name)) {
        return false;
    }
    remove_sysv_leftovers(name);
    return !buffer_exists(name);
}

bool buffer_exists(const std::string& name) {
    return stat_entry(name).has_value();
}

} // namespace zorvgst_shm
