// The handle on a POSIX double buffer: opening, creating, sizing and validating the object.
#include <cstring>
#include <utility>

#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/permissions.hpp>
#include <unistd.h>

#include <zorvgst/posix_double_buffer.h>

#include "internal/buffer_geometry.h"
#include "internal/group_lookup.h"
#include "internal/header_updates.h"
#include "internal/log.h"
#include "internal/prefault.h"
#include "internal/shm_access.h"

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
    : mode(bip::read_write), width(0), height(0), valid(false) {}

posix_double_buffer_t::posix_double_buffer_t(const char* buffer_name, bip::mode_t open_mode)
    : name(buffer_name), mode(open_mode), width(0), height(0), valid(false) {
    check_and_init_if_necessary();
}

posix_double_buffer_t::posix_double_buffer_t(const char* buffer_name, bip::mode_t open_mode,
                                             std::uint64_t frame_width, std::uint64_t frame_height)
    : name(buffer_name), mode(open_mode), width(frame_width), height(frame_height), valid(false) {
    check_and_init_if_necessary();
}

posix_double_buffer_t::posix_double_buffer_t(posix_double_buffer_t& other)
    : shm(std::move(other.shm)), region(std::move(other.region)), name(other.name),
      mode(other.mode), width(other.width), height(other.height), valid(other.valid) {}

posix_double_buffer_t::~posix_double_buffer_t() = default;

void posix_double_buffer_t::swap(posix_double_buffer_t& other) {
    shm.swap(other.shm);
    region.swap(other.region);
    name.swap(other.name);
    std::swap(mode, other.mode);
    std::swap(width, other.width);
    std::swap(height, other.height);
    std::swap(valid, other.valid);
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
            bip::shared_memory_object opened(bip::open_or_create, name.c_str(), mode,
                                             default_perms);
            shm.swap(opened);
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
                shm.truncate(static_cast<bip::offset_t>(expected));
                reset_due = true;
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

        if (mode == bip::read_write &&
            observed >= static_cast<bip::offset_t>(sizeof(double_buffer_header_t))) {
            const pid_t own_pid = getpid();
            const pid_t owner = zorvgst::detail::claim_owner_if_unowned(header->owner_pid, own_pid);
            if (owner == 0) {
                ZORV_LOG_DEBUG("Taking Ownership of " << name << " with PID: " << own_pid);
            } else if (owner != own_pid) {
                ZORV_LOG_DEBUG("Double Buffer owned by PID: " << owner);
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
