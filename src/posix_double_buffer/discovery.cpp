// Listing double buffers, reading their owner, and removing those whose owner has died.
#include <cerrno>
#include <csignal>

#include <boost/filesystem.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <boost/regex.hpp>

#include <zorvgst/posix_double_buffer.h>

#include "internal/log.h"
#include "internal/shm_access.h"

namespace bip = boost::interprocess;
namespace fs = boost::filesystem;
using zorvgst::detail::load_acquire;

namespace {

const boost::regex& buffer_name_pattern() {
    // Compiled once per process; function-local statics initialise thread-safely.
    static const boost::regex pattern("_buffer$", boost::regex::perl);
    return pattern;
}

} // namespace

std::vector<std::string>
posix_double_buffer_t::get_double_buffer_names(const std::string& directory) {
    const boost::regex& pattern = buffer_name_pattern();
    const fs::path dir(directory);
    const fs::file_status status = fs::status(dir);
    if (!fs::exists(status) || !fs::is_directory(status)) {
        ZORV_LOG_ERROR("Error " << dir << " is not a directory");
        return {};
    }
    std::vector<std::string> names;
    try {
        for (fs::directory_iterator entry(dir), end; entry != end; ++entry) {
            if (boost::regex_search(entry->path().string(), pattern)) {
                names.push_back(entry->path().filename().string());
            }
        }
    } catch (const fs::filesystem_error& e) {
        ZORV_LOG_ERROR("Error reading pid_file from " << dir << " " << e.what());
        return {};
    }
    return names;
}

std::vector<std::string> posix_double_buffer_t::get_double_buffer_names() {
    return get_double_buffer_names("/dev/shm");
}

pid_t posix_double_buffer_t::get_double_buffer_owner(const std::string& name) {
    try {
        bip::shared_memory_object object(bip::open_only, name.c_str(), bip::read_only);
        bip::mapped_region mapped(object, bip::read_only, 0, 0);
        // Anyone may create an object of this name: read nothing the mapping does not hold.
        if (mapped.get_size() < sizeof(std::uint32_t)) {
            return 0;
        }
        const auto* header = static_cast<const double_buffer_header_t*>(mapped.get_address());
        const std::uint32_t type = load_acquire(header->buffer_type);
        if (type != 0) {
            ZORV_LOG_ERROR("Not A Double Buffer: " << static_cast<std::int32_t>(type));
            return 0;
        }
        if (mapped.get_size() < sizeof(double_buffer_header_t)) {
            return 0;
        }
        return load_acquire(header->owner_pid);
    } catch (const bip::interprocess_exception& e) {
        ZORV_LOG_ERROR("Interprocess Exception: " << e.what());
        return 0;
    }
}

void posix_double_buffer_t::remove(const char* name) {
    ZORV_LOG_DEBUG("Removing Double Buffer Shm: " << name);
    if (!bip::shared_memory_object::remove(name)) {
        ZORV_LOG_WARN("Failed to Remove Double Buffer Shm: " << name);
    }
}

bool posix_double_buffer_t::remove_double_buffer_if_owner_pid_expired(const char* name) {
    pid_t owner = 0;
    {
        posix_double_buffer_t handle(name, bip::read_only);
        const double_buffer_header_t* header = handle.valid ? handle.get_header() : nullptr;
        if (header == nullptr) {
            return false;
        }
        owner = load_acquire(header->owner_pid);
    }
    // Zero means no owner; a negative value would make kill() address a process group.
    if (owner <= 0) {
        return false;
    }
    if (::kill(owner, 0) == 0 || errno != ESRCH) {
        return false;
    }
    ZORV_LOG_DEBUG("Expiring Buffer: " << name);
    remove(name);
    return true;
}
