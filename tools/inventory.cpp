// Finding, reading, removing and expiring double buffers of both backends through the public API.
#include "inventory.h"
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/stat.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/posix_double_buffer.h>

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
    if (::stat((default_directory() + "/" + name).c_str(), &st) != 0) {
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
    buffer_info_t info;
    info.name = name;
    info.backend = backend_t::sysv;
    return info;
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
    }
    return !buffer_exists(name);
}

bool expire_buffer(const std::string& name, backend_t backend) {
    if (backend == backend_t::posix) {
        return double_buffer_t::remove_double_buffer_if_owner_pid_expired(name.c_str()) &&
               !buffer_exists(name);
    }
    return false;
}

bool buffer_exists(const std::string& name) {
    return stat_entry(name).has_value();
}

} // namespace zorvgst_shm
