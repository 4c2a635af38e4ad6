// SPDX-License-Identifier: LGPL-2.1-or-later
// System V double buffer handle: key files, attachment, and the open, create and validate steps.
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/xsi_shared_memory.hpp>
#include <fcntl.h>
#include <sys/shm.h>
#include <unistd.h>

#include <zorvgst/buffer_name.h>

#include "internal/group_lookup.h"
#include "internal/header_updates.h"
#include "internal/log.h"
#include "internal/prefault.h"
#include "internal/shm_access.h"
#include "internal/shm_reservation.h"
#include "internal/sysv/common.h"

namespace sysv_double_buffer {

namespace ipc = boost::interprocess;
using zorvgst::detail::load_acquire;

std::uint64_t compute_size(std::uint64_t width, std::uint64_t height) {
    return ::compute_size(width, height);
}

gid_t get_zorv_gid_t() {
    const gid_t gid = zorvgst::detail::find_group_id("zorv");
    if (gid == zorvgst::detail::no_group) {
        ZORV_LOG_FATAL("Group zorv Does Not Exist");
    }
    return gid;
}

sysv_double_buffer_t::sysv_double_buffer_t()
    : shmid(-1), mode(ipc::read_write), width(0), height(0), valid(false) {}

sysv_double_buffer_t::sysv_double_buffer_t(const char* buffer_name, ipc::mode_t open_mode)
    : sysv_double_buffer_t(buffer_name, open_mode, 0, 0) {}

sysv_double_buffer_t::sysv_double_buffer_t(const char* buffer_name, ipc::mode_t open_mode,
                                           std::size_t frame_width, std::size_t frame_height)
    : shmid(-1), name(buffer_name), mode(open_mode), width(frame_width), height(frame_height),
      valid(false) {
    check_and_init_if_necessary();
}

sysv_double_buffer_t::sysv_double_buffer_t(sysv_double_buffer_t& other)
    : shmid(-1), name(other.name), mode(other.mode), width(other.width), height(other.height),
      valid(other.valid), dimensions_from_header(other.dimensions_from_header) {
    init_write_wait_cond();
    std::swap(shmid, other.shmid);
    region.swap(other.region);
}

sysv_double_buffer_t::~sysv_double_buffer_t() {
    // Condition before mutex, then the attachment (the region member detaches last).
    write_wait_cond.reset();
    write_wait_mutex.reset();
}

void sysv_double_buffer_t::swap(sysv_double_buffer_t& other) {
    std::swap(shmid, other.shmid);
    region.swap(other.region);
    std::swap(name, other.name);
    std::swap(mode, other.mode);
    std::swap(width, other.width);
    std::swap(height, other.height);
    std::swap(valid, other.valid);
    std::swap(dimensions_from_header, other.dimensions_from_header);
    init_write_wait_cond();
    other.init_write_wait_cond();
}

sysv_double_buffer_header_t* sysv_double_buffer_t::get_header() const {
    // An attachment too short for a header (another program's segment under a colliding key)
    // has no header to read.
    if (region.get_address() == nullptr || region.get_size() < detail::header_size) {
        return nullptr;
    }
    return static_cast<sysv_double_buffer_header_t*>(region.get_address());
}

bool sysv_double_buffer_t::slots_fit_attachment() const {
    return get_header() != nullptr && zorvgst::detail::slots_fit(width, height, region.get_size());
}

boost::filesystem::path sysv_double_buffer_t::shm_file_path() {
    return boost::filesystem::path("/dev/shm");
}

boost::filesystem::path sysv_double_buffer_t::get_key_file_path(const char* buffer_name) {
    boost::filesystem::path key_file = shm_file_path();
    key_file /= buffer_name;
    return key_file;
}

ipc::xsi_key sysv_double_buffer_t::key_from_name(const char* buffer_name, bool create) {
    const std::string checked_name(buffer_name);
    if (!zorvgst::is_plain_buffer_name(checked_name)) {
        ZORV_LOG_ERROR("Invalid Double Buffer Name: " << checked_name);
        return ipc::xsi_key();
    }
    const boost::filesystem::path key_file = get_key_file_path(buffer_name);
    // Without throwing: a name too long for the file system is a missing key file like any other.
    boost::system::error_code status_error;
    if (!boost::filesystem::exists(boost::filesystem::status(key_file, status_error))) {
        if (!create) {
            return ipc::xsi_key();
        }
        ZORV_LOG_DEBUG("Touching: " << key_file);
        // Others may plant entries in the shared directory: never follow a dangling link to
        // create a file elsewhere. A failure to create surfaces below as ftok's missing file.
        const int fd = ::open(key_file.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return ipc::xsi_key(key_file.c_str(), detail::key_project_id);
}

bool sysv_double_buffer_t::is_valid() {
    if (valid) {
        return true;
    }
    check_and_init_if_necessary();
    return valid;
}

void sysv_double_buffer_t::check_and_init_if_necessary() {
    if (valid) {
        if (mode != ipc::read_write) {
            retrieve_dimensions_from_shared_memory_or_throw_error_if_mismatch();
        }
        return;
    }
    if (name.empty()) {
        return;
    }
    if (!zorvgst::is_plain_buffer_name(name)) {
        ZORV_LOG_ERROR("Invalid Double Buffer Name: " << name);
        return;
    }
    try {
        init_write_wait_cond();
        if (mode == ipc::read_write) {
            // Looked at before key_from_name() makes it: a key file this handle made goes again
            // when no segment can be made for it.
            boost::system::error_code key_status_error;
            const bool key_file_made_here = !boost::filesystem::exists(
                boost::filesystem::status(get_key_file_path(name.c_str()), key_status_error));
            const ipc::xsi_key key = key_from_name(name.c_str(), true);
            std::uint64_t expected_size = 0;
            // The header keeps 32-bit dimensions, and a size that wraps would give a segment
            // far smaller than the slots this handle writes.
            if (width == 0 || height == 0 || width > std::numeric_limits<std::uint32_t>::max() ||
                height > std::numeric_limits<std::uint32_t>::max() ||
                !zorvgst::detail::checked_buffer_size(width, height, expected_size)) {
                ZORV_LOG_ERROR("Attempted to Open SHM: "
                               << name << " in Write Mode w/Invalid Dimensions: " << width << "x"
                               << height);
                throw std::runtime_error("Invalid Dimensions for Write Mode");
            }
            try {
                ZORV_LOG_DEBUG("Attempting to Open Existing SHM: " << name << " with Key: "
                                                                   << detail::hex_key(key));
                ipc::xsi_shared_memory segment(ipc::open_only, key);
                shmid = segment.get_shmid();
                ipc::mapped_region attachment(segment, ipc::read_write);
                region.swap(attachment);
                ZORV_LOG_DEBUG("Opened Existing SHM: " << name);
                if (region.get_size() != expected_size) {
                    throw std::runtime_error("Existing SHM Size Does Not Match Expected");
                }
                // A writer restarted after a crash reopens its segment as it left it, and must
                // own it again or supervisors expire it while it runs.
                sysv_double_buffer_header_t* header = get_header();
                // Same bytes, other dimensions (640x480 after 480x640): readers learn them from
                // the header alone.
                if (header != nullptr && (load_acquire(header->width) != width ||
                                          load_acquire(header->height) != height)) {
                    ZORV_LOG_DEBUG("Double Buffer "
                                   << name << " Header Dimensions (" << load_acquire(header->width)
                                   << "x" << load_acquire(header->height)
                                   << ") Differ -- Resetting for Dimensions: " << width << "x"
                                   << height);
                    reset_header();
                    return;
                }
                if (header != nullptr) {
                    const pid_t own_pid = getpid();
                    const zorvgst::detail::owner_claim claim =
                        zorvgst::detail::claim_owner_if_free(header->owner_pid, own_pid);
                    if (claim.taken) {
                        ZORV_LOG_DEBUG("Taking Ownership of "
                                       << name << " with PID: " << own_pid
                                       << " -- Previous Owner PID: " << claim.previous);
                    }
                }
                valid = true;
                return;
            } catch (const std::exception&) {
                ZORV_LOG_DEBUG("SHM Did Not Already Exist: " << name << " -- Creating with Key: "
                                                             << detail::hex_key(key));
                ipc::xsi_shared_memory segment;
                try {
                    ipc::xsi_shared_memory created(ipc::create_only, key, expected_size,
                                                   default_perms);
                    segment.swap(created);
                } catch (const ipc::interprocess_exception& e) {
                    // A segment already there (of another size) stays the error it always was;
                    // here shmget refused the size itself.
                    if (e.get_native_error() == EEXIST) {
                        throw;
                    }
                    ZORV_LOG_ERROR("Could Not Create SHM: "
                                   << name << " of " << expected_size << " Bytes -- "
                                   << zorvgst::detail::sysv_refusal_text(e.get_native_error()));
                    if (key_file_made_here) {
                        ::unlink(get_key_file_path(name.c_str()).c_str());
                    }
                    valid = false;
                    return;
                }
                shmid = segment.get_shmid();
                ipc::mapped_region attachment(segment, ipc::read_write);
                region.swap(attachment);
                // One call maps every page, instead of a fault per page in the zeroing below.
                const int error =
                    zorvgst::detail::prefault_for_writing(region.get_address(), region.get_size());
                if (error != 0 && !zorvgst::detail::prefault_unsupported(error)) {
                    ZORV_LOG_DEBUG("Could Not Pre-Fault SHM: " << name << " -- "
                                                               << std::strerror(error));
                }
                ZORV_LOG_DEBUG("Zeroing Out Created SHM: " << name);
                std::memset(region.get_address(), 0, region.get_size());
                reset_header();
            }
        } else if (mode == ipc::read_only) {
            const ipc::xsi_key key = key_from_name(name.c_str(), false);
            if (key.get_key() == 0) {
                ZORV_LOG_DEBUG("SYSV Key File Does Not Exist for Buffer: " << name);
                return;
            }
            ipc::xsi_shared_memory segment(ipc::open_only, key);
            shmid = segment.get_shmid();
            ipc::mapped_region attachment(segment, ipc::read_only);
            region.swap(attachment);
            retrieve_dimensions_from_shared_memory_or_throw_error_if_mismatch();
        }
    } catch (const ipc::interprocess_exception& e) {
        ZORV_LOG_ERROR("Interprocess Exception Initializing Shared Memory: "
                       << name << " -- " << e.what() << ", "
                       << std::strerror(e.get_native_error()));
        valid = false;
    } catch (const std::exception& e) {
        ZORV_LOG_ERROR("Exception Initializing Shared Memory: " << name << " -- " << e.what());
        valid = false;
    }
}

void sysv_double_buffer_t::reset_header() {
    sysv_double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        ZORV_LOG_ERROR("Could Not Retrieve Header from Buffer Shared Memory: " << name);
        valid = false;
        return;
    }
    if (region.get_mode() != ipc::read_write) {
        ZORV_LOG_ERROR("Unexpected Call to reset_header() On Read Only Double Buffer: " << name);
        return;
    }
    const pid_t own_pid = getpid();
    const zorvgst::detail::owner_claim claim =
        zorvgst::detail::claim_owner_if_free(header->owner_pid, own_pid);
    if (claim.taken && claim.previous == 0) {
        ZORV_LOG_DEBUG("Taking Ownership of " << name << " with PID: " << own_pid);
    } else if (claim.taken) {
        ZORV_LOG_DEBUG("Taking Ownership of " << name << " with PID: " << own_pid
                                              << " -- Previous Owner PID " << claim.previous
                                              << " Has Exited");
    } else if (claim.previous != own_pid) {
        ZORV_LOG_DEBUG("Double Buffer owned by PID: " << claim.previous);
    }
    ZORV_LOG_DEBUG("Starting Header Reset");
    zorvgst::detail::reset_frame_fields(*header, width, height);
    valid = true;
}

bool sysv_double_buffer_t::confirm_layout() {
    if (!valid) {
        return false;
    }
    const sysv_double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        return true;
    }
    struct shmid_ds segment {};
    if (::shmctl(shmid, IPC_STAT, &segment) != 0) {
        ZORV_LOG_ERROR("Double Buffer " << name << " Segment Cannot Be Examined -- "
                                        << std::strerror(errno) << " -- Reattaching");
    } else if ((segment.shm_perm.mode & SHM_DEST) != 0) {
        // Removed, perhaps to be made anew at another size: the name leads elsewhere now.
        ZORV_LOG_ERROR("Double Buffer " << name << " Segment Was Removed -- Reattaching");
    } else {
        const std::uint32_t header_width = load_acquire(header->width);
        const std::uint32_t header_height = load_acquire(header->height);
        if (header_width == width && header_height == height) {
            return true;
        }
        ZORV_LOG_ERROR("Double Buffer " << name << " Changed Dimensions (" << header_width << "x"
                                        << header_height << " != " << width << "x" << height
                                        << ") -- Reattaching");
    }
    ipc::mapped_region detached;
    region.swap(detached);
    shmid = -1;
    valid = false;
    if (dimensions_from_header) {
        width = 0;
        height = 0;
        dimensions_from_header = false;
    }
    return false;
}

void sysv_double_buffer_t::retrieve_dimensions_from_shared_memory_or_throw_error_if_mismatch() {
    const sysv_double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        ZORV_LOG_ERROR("Could Not Retrieve Header from Buffer Shared Memory: " << name);
        valid = false;
        return;
    }
    const std::uint64_t header_width = load_acquire(header->width);
    const std::uint64_t header_height = load_acquire(header->height);
    if (width != 0 && height != 0 && (width != header_width || height != header_height)) {
        std::ostringstream text;
        text << "Buffer Dimensions: " << header_width << "x" << header_height
             << " Do Not Match Expected Dimensions: " << width << "x" << height;
        ZORV_LOG_ERROR(text.str());
        throw std::runtime_error(text.str());
    }
    // The header is written by other processes: dimensions whose slots reach past the segment
    // would send every address beyond the attachment.
    if (header_width != 0 && header_height != 0 &&
        !zorvgst::detail::slots_fit(header_width, header_height, region.get_size())) {
        std::ostringstream text;
        text << "Buffer Dimensions: " << header_width << "x" << header_height
             << " Exceed Shared Memory Size: " << region.get_size();
        ZORV_LOG_ERROR(text.str());
        throw std::runtime_error(text.str());
    }
    dimensions_from_header = dimensions_from_header || width == 0 || height == 0;
    width = header_width;
    height = header_height;
    valid = width != 0 && height != 0;
}

} // namespace sysv_double_buffer
