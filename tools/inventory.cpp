// Finding, reading, removing and expiring double buffers of both backends through the public API.
#include "inventory.h"
#include <algorithm>
#include <cerrno>
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

buffer_info_t probe_sysv(const std::string& name) {
    buffer_info_t info;
    info.name = name;
    info.backend = backend_t::sysv;
    try {
        // A reader adopts the header's dimensions and attaches read-only.
        sysv_double_buffer::sysv_double_buffer_t handle(name.c_str(), bip::read_only);
        info.ready = handle.is_valid();
        if (const auto* header = handle.get_header()) {
            const auto h = snapshot(header);
            info.width = h.width;
            info.height = h.height;
            info.owner_pid = h.owner_pid;
            info.frame_count = h.frame_count;
            info.last_write_time = h.last_write_time;
        }
        struct shmid_ds segment {};
        if (handle.get_shmid() >= 0 && ::shmctl(handle.get_shmid(), IPC_STAT, &segment) == 0) {
            info.size = segment.shm_segsz;
        }
    } catch (const std::exception&) {
        // A header whose dimensions changed under the reader: report what was read.
        info.ready = false;
    }
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

bool buffer_exists(const std::string& name) {
    return stat_entry(name).has_value();
}

} // namespace zorvgst_shm
