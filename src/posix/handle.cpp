// SPDX-License-Identifier: LGPL-2.1-or-later
// The handle on a POSIX double buffer: opening, creating, sizing and validating the object.
#include <cerrno>
#include <cstring>
#include <utility>

#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/permissions.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <zorvgst/posix_double_buffer.h>

#include "internal/buffer_geometry.h"
#include "internal/group_lookup.h"
#include "internal/header_updates.h"
#include "internal/log.h"
#include "internal/prefault.h"
#include "internal/shm_access.h"
#include "internal/shm_reservation.h"

namespace bip = boost::interprocess;
using zorvgst::detail::load_acquire;
using zorvgst::detail::store_release;

namespace {

// Group members of other users share the buffers; fchmod after creation keeps the creator's
// umask from narrowing this.
const bip::permissions default_perms(0660);

} // namespace

gid_t get_zorv_gid_t() {
    const gid_t gid = zorvgst::detail::find_group_id("zorv");
    if (gid == zorvgst::detail::no_group) {
        ZORV_LOG_FATAL("Group zorv Does Not Exist");
    }
    return gid;
}

posix_double_buffer_t::posix_double_buffer_t()
    : mode(bip::read_write), width(0), height(0), valid(false), dimensions_from_header(false) {}

posix_double_buffer_t::posix_double_buffer_t(const char* buffer_name, bip::mode_t open_mode)
    : name(buffer_name), mode(open_mode), width(0), height(0), valid(false),
      dimensions_from_header(false) {
    check_and_init_if_necessary();
}

posix_double_buffer_t::posix_double_buffer_t(const char* buffer_name, bip::mode_t open_mode,
                                             std::uint64_t frame_width, std::uint64_t frame_height)
    : name(buffer_name), mode(open_mode), width(frame_width), height(frame_height), valid(false),
      dimensions_from_header(false) {
    check_and_init_if_necessary();
}

posix_double_buffer_t::posix_double_buffer_t(posix_double_buffer_t& other)
    : shm(std::move(other.shm)), region(std::move(other.region)), name(other.name),
      mode(other.mode), width(other.width), height(other.height), valid(other.valid),
      dimensions_from_header(other.dimensions_from_header) {}

posix_double_buffer_t::~posix_double_buffer_t() = default;

void posix_double_buffer_t::swap(posix_double_buffer_t& other) {
    shm.swap(other.shm);
    region.swap(other.region);
    name.swap(other.name);
    std::swap(mode, other.mode);
    std::swap(width, other.width);
    std::swap(height, other.height);
    std::swap(valid, other.valid);
    std::swap(dimensions_from_header, other.dimensions_from_header);
}

bool posix_double_buffer_t::is_valid() {
    if (valid) {
        return true;
    }
    check_and_init_if_necessary();
    return valid;
}

double_buffer_header_t* posix_double_buffer_t::get_header() const {
    // A mapping shorter than the header (an object shrunk under us) has no usable header.
    if (region.get_address() == nullptr || region.get_size() < sizeof(double_buffer_header_t)) {
        return nullptr;
    }
    return static_cast<double_buffer_header_t*>(region.get_address());
}

const std::string& posix_double_buffer_t::get_name() const {
    return name;
}

std::uint64_t posix_double_buffer_t::get_width() const {
    return width;
}

std::uint64_t posix_double_buffer_t::get_height() const {
    return height;
}

bool posix_double_buffer_t::confirm_layout() {
    if (!valid) {
        return false;
    }
    const double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        return true;
    }
    struct stat object {};
    const std::uint64_t mapped = region.get_size();
    if (::fstat(shm.get_mapping_handle().handle, &object) != 0) {
        ZORV_LOG_ERROR("Double Buffer " << name << " Cannot Be Examined -- " << std::strerror(errno)
                                        << " -- Reopening");
    } else if (static_cast<std::uint64_t>(object.st_size) != mapped) {
        // Checked before the header is read: a header beyond a shrunk object's end would fault.
        ZORV_LOG_ERROR("Double Buffer " << name << " Changed Size (" << object.st_size
                                        << " != " << mapped << ") -- Reopening");
    } else {
        const std::uint32_t header_width = load_acquire(header->width);
        const std::uint32_t header_height = load_acquire(header->height);
        if (header_width == width && header_height == height) {
            return true;
        }
        ZORV_LOG_ERROR("Double Buffer " << name << " Changed Dimensions (" << header_width << "x"
                                        << header_height << " != " << width << "x" << height
                                        << ") -- Reopening");
    }
    bip::mapped_region unmapped;
    region.swap(unmapped);
    bip::shared_memory_object closed;
    shm.swap(closed);
    valid = false;
    if (dimensions_from_header) {
        width = 0;
        height = 0;
        dimensions_from_header = false;
    }
    return false;
}

void posix_double_buffer_t::check_and_init_if_necessary() {
    if (valid) {
        return;
    }
    try {
        const bool dimensions_given = width != 0 && height != 0;
        std::uint64_t expected = 0;
        // Checked before anything is opened, so an existing object is left exactly as it is.
        if (dimensions_given && !zorvgst::detail::checked_buffer_size(width, height, expected)) {
            ZORV_LOG_ERROR("Double Buffer " << name << " Dimensions Too Large: " << width << "x"
                                            << height << " -- Size Exceeds 64 Bits");
            valid = false;
            return;
        }
        // The header keeps 32-bit dimensions: larger ones would reach readers cut short.
        if (dimensions_given && (width > UINT32_MAX || height > UINT32_MAX)) {
            ZORV_LOG_ERROR("Double Buffer " << name << " Dimensions Too Large: " << width << "x"
                                            << height << " -- Header Holds 32-Bit Dimensions");
            valid = false;
            return;
        }

        const gid_t effective_gid = getegid();
        if (effective_gid != get_zorv_gid_t()) {
            ZORV_LOG_DEBUG("Process Not Running w/Group 'zorv' -- Double Buffer "
                           << name << " May Be Created With Group ID: " << effective_gid);
        }

        bool created_here = false;
        if (mode == bip::read_only) {
            try {
                bip::shared_memory_object opened(bip::open_only, name.c_str(), bip::read_only);
                shm.swap(opened);
            } catch (const bip::interprocess_exception&) {
                // A reader waiting for its writer retries silently.
                valid = false;
                return;
            }
        } else {
            // Boost's open_or_create, unrolled to learn whether this call made the object: only
            // then may a failed reservation remove it again.
            while (true) {
                try {
                    bip::shared_memory_object created(bip::create_only, name.c_str(), mode,
                                                      default_perms);
                    shm.swap(created);
                    created_here = true;
                    break;
                } catch (const bip::interprocess_exception& e) {
                    if (e.get_error_code() != bip::already_exists_error) {
                        throw;
                    }
                }
                try {
                    bip::shared_memory_object opened(bip::open_only, name.c_str(), mode);
                    shm.swap(opened);
                    break;
                } catch (const bip::interprocess_exception& e) {
                    // Removed between the two calls: try to create it again.
                    if (e.get_error_code() != bip::not_found_error) {
                        throw;
                    }
                }
            }
        }

        bip::offset_t observed = 0;
        if (!shm.get_size(observed)) {
            observed = 0;
        }

        const auto map_whole_object = [this] {
            bip::mapped_region mapped(shm, mode, 0, 0);
            region.swap(mapped);
        };

        bool reset_due = false;
        if (!dimensions_given) {
            if (observed < static_cast<bip::offset_t>(sizeof(double_buffer_header_t))) {
                ZORV_LOG_DEBUG("Read Only Shared Memory for: " << name
                                                               << " is Invalid Size: " << observed);
                valid = false;
                return;
            }
            map_whole_object();
            const double_buffer_header_t* header = get_header();
            if (header == nullptr) {
                ZORV_LOG_ERROR("Could Not Retrieve Header from Buffer Shared Memory: " << name);
                valid = false;
                return;
            }
            // The header comes from another process: slots addressed with its dimensions must
            // lie inside what we mapped.
            const std::uint32_t header_width = load_acquire(header->width);
            const std::uint32_t header_height = load_acquire(header->height);
            if (header_width == 0 || header_height == 0) {
                ZORV_LOG_DEBUG("Double Buffer "
                               << name << " Header Dimensions (" << header_width << "x"
                               << header_height
                               << ") Not Yet Written -- Waiting for Write Process");
                valid = false;
                return;
            }
            if (!zorvgst::detail::slots_fit(header_width, header_height, region.get_size())) {
                ZORV_LOG_DEBUG("Double Buffer "
                               << name << " Header Dimensions (" << header_width << "x"
                               << header_height << ") Exceed Shared Memory Size ("
                               << region.get_size() << ") -- Waiting for Write Process");
                valid = false;
                return;
            }
            width = header_width;
            height = header_height;
            dimensions_from_header = true;
        } else {
            if (observed == static_cast<bip::offset_t>(expected)) {
                ZORV_LOG_DEBUG("Size Correct (" << expected << ")");
            } else if (mode == bip::read_only) {
                ZORV_LOG_DEBUG("Double Buffer "
                               << name << " Wrong Size (" << observed << " != " << expected << ")"
                               << " -- Waiting for Write Process to Truncate to Correct Size");
                valid = false;
                return;
            } else {
                ZORV_LOG_DEBUG("Double Buffer "
                               << name << " Wrong Size (" << observed << " != " << expected << ")"
                               << " -- Recreating for Dimensions: " << width << "x" << height);
                // Only a shrink truncates: growing is the reservation's work below.
                if (observed > static_cast<bip::offset_t>(expected)) {
                    shm.truncate(static_cast<bip::offset_t>(expected));
                }
                reset_due = true;
            }
            // Every page is backed before the mapping, also those of a sparse object an earlier
            // writer left: a full /dev/shm then fails here instead of with SIGBUS mid-frame.
            if (mode == bip::read_write) {
                const int fd = shm.get_mapping_handle().handle;
                const int error = zorvgst::detail::reserve_shm_bytes(fd, expected);
                if (error != 0) {
                    ZORV_LOG_ERROR("Could Not Reserve Shared Memory for Double Buffer "
                                   << name << " -- " << std::strerror(error) << ": "
                                   << zorvgst::detail::shm_shortage_text(
                                          expected, zorvgst::detail::shm_free_bytes()));
                    // Removed only while still as empty as this call made it: another writer
                    // that has sized it meanwhile keeps it.
                    struct stat object {};
                    if (created_here && ::fstat(fd, &object) == 0 && object.st_size == 0) {
                        bip::shared_memory_object::remove(name.c_str());
                    }
                    bip::shared_memory_object closed;
                    shm.swap(closed);
                    valid = false;
                    return;
                }
            }
            map_whole_object();
            // Another writer may have resized the object between the size check and the
            // mapping; never address slots beyond the mapping.
            if (get_header() != nullptr && region.get_size() < expected) {
                ZORV_LOG_DEBUG("Double Buffer "
                               << name << " Wrong Size (" << region.get_size() << " != " << expected
                               << ")"
                               << " -- Waiting for Write Process to Truncate to Correct Size");
                valid = false;
                return;
            }
        }

        double_buffer_header_t* header = get_header();
        if (header == nullptr) {
            ZORV_LOG_ERROR("Could Not Retrieve Header from Buffer Shared Memory: " << name);
            valid = false;
            return;
        }

        // A writer back at other dimensions of the same byte size (640x480 after 480x640): the
        // size cannot tell its readers, the header must.
        if (mode == bip::read_write && !reset_due &&
            (load_acquire(header->width) != width || load_acquire(header->height) != height)) {
            ZORV_LOG_DEBUG("Double Buffer "
                           << name << " Header Dimensions (" << load_acquire(header->width) << "x"
                           << load_acquire(header->height)
                           << ") Differ -- Resetting for Dimensions: " << width << "x" << height);
            reset_due = true;
        }

        if (mode == bip::read_write &&
            observed >= static_cast<bip::offset_t>(sizeof(double_buffer_header_t))) {
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
        }

        if (reset_due) {
            ZORV_LOG_DEBUG("Starting Header Reset");
            store_release<std::uint32_t>(header->buffer_type, 0);
            zorvgst::detail::reset_frame_fields(*header, width, height);
            const pid_t own_pid = getpid();
            ZORV_LOG_DEBUG("Taking Ownership of [" << name << "] with PID: [" << own_pid << "}");
            store_release(header->owner_pid, own_pid);
            // The object was just created or resized: take its page faults here rather than
            // in the first frame's copy.
            const int error =
                zorvgst::detail::prefault_for_writing(region.get_address(), region.get_size());
            if (error != 0 && !zorvgst::detail::prefault_unsupported(error)) {
                ZORV_LOG_DEBUG("Could Not Pre-Fault Double Buffer " << name << " -- "
                                                                    << std::strerror(error));
            }
        }

        valid = true;
    } catch (const bip::interprocess_exception& e) {
        ZORV_LOG_ERROR("Interprocess Exception Initializing Shared Memory: "
                       << name << " -- " << e.what() << ", "
                       << std::strerror(e.get_native_error()));
        valid = false;
    } catch (const std::exception& e) {
        ZORV_LOG_ERROR("Exception Initializing Shared Memory: " << name << " -- " << e.what());
        valid = false;
    }
}
