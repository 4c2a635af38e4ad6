// SPDX-License-Identifier: LGPL-2.1-or-later
// POSIX double buffer: the shared-memory layout every process agrees on, and the handle on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <glib.h>
#include <sys/types.h>

#include <zorvgst/export.h>

/// Size in bytes of a double buffer's shared region: a 40-byte header and two BGRA slots of
/// width x height pixels each. Wraps on overflow; callers that take dimensions from untrusted
/// sources check them first.
ZORVGST_EXPORT std::uint64_t compute_size(std::uint64_t width, std::uint64_t height);

/// The 40-byte header at offset 0 of every double buffer, read and written in place by
/// unrelated processes: its byte layout must never change.
struct double_buffer_header_t {
    std::uint32_t buffer_type;                ///< 0 for every POSIX double buffer
    std::uint32_t buffer_indicator;           ///< slot holding the newest complete frame: 0 or 1
    boost::posix_time::ptime last_write_time; ///< local time of the last publication
    std::uint32_t width;                      ///< frame width in pixels
    std::uint32_t height;                     ///< frame height in pixels
    pid_t owner_pid;                          ///< writer owning the buffer; 0 for none
    std::uint32_t padding;                    ///< never written or read
    std::uint64_t frame_count;                ///< frames published since the last header reset
};

static_assert(std::is_standard_layout_v<double_buffer_header_t>);
static_assert(std::is_trivially_copyable_v<double_buffer_header_t>);
static_assert(sizeof(boost::posix_time::ptime) == 8,
              "last_write_time must be Boost's 64-bit microsecond ptime");
static_assert(offsetof(double_buffer_header_t, buffer_type) == 0);
static_assert(offsetof(double_buffer_header_t, buffer_indicator) == 4);
static_assert(offsetof(double_buffer_header_t, last_write_time) == 8);
static_assert(offsetof(double_buffer_header_t, width) == 16);
static_assert(offsetof(double_buffer_header_t, height) == 20);
static_assert(offsetof(double_buffer_header_t, owner_pid) == 24);
static_assert(offsetof(double_buffer_header_t, padding) == 28);
static_assert(offsetof(double_buffer_header_t, frame_count) == 32);
static_assert(sizeof(double_buffer_header_t) == 40);

/// Id of the group "zorv" that double buffers are expected to belong to; logs at fatal and
/// returns (gid_t)-1 when the group does not exist.
ZORVGST_EXPORT gid_t get_zorv_gid_t();

/// A process's handle on one named POSIX double buffer. Writers (read_write, with dimensions)
/// create, size and own the object; readers (read_only) wait until it has the size they expect.
/// Opening never throws for operating-system failures: the handle stays invalid, logs why and
/// retries at each is_valid(). The handle owns its descriptor and mapping, never the object.
/// One thread at a time per handle.
class ZORVGST_EXPORT posix_double_buffer_t {
public:
    posix_double_buffer_t();
    posix_double_buffer_t(const char* name, boost::interprocess::mode_t mode);
    posix_double_buffer_t(const char* name, boost::interprocess::mode_t mode, std::uint64_t width,
                          std::uint64_t height);
    /// Transfer: takes `other`'s descriptor and mapping; `other` keeps name, mode, dimensions
    /// and validity flag but no header.
    posix_double_buffer_t(posix_double_buffer_t& other);
    posix_double_buffer_t& operator=(const posix_double_buffer_t&) = delete;
    /// Unmaps and closes; the shared object stays.
    ~posix_double_buffer_t();

    void swap(posix_double_buffer_t& other);

    /// One flag test once valid; otherwise a new open attempt.
    bool is_valid();
    void check_and_init_if_necessary();

    /// Start of the mapping, or null when nothing is mapped.
    double_buffer_header_t* get_header() const;
    const std::string& get_name() const;
    std::uint64_t get_width() const;
    std::uint64_t get_height() const;

    /// Checks, with one fstat and two header loads, that the object still has the size this handle
    /// mapped and that the header still carries the handle's dimensions; a writer that came back at
    /// another size changes both. When they differ, logs one error line, drops the mapping and
    /// makes the handle invalid, so that the next is_valid() reopens it (a handle opened without
    /// dimensions adopts the new ones; one opened with dimensions waits for them). Returns whether
    /// reads through this handle may go on: false for an invalid handle; true for a valid one
    /// without a mapping, which the address operations report themselves.
    bool confirm_layout();

    // Frame exchange. The grab/release pairs take no lock: readers rely on the indicator and
    // on the order of the publication stores.

    /// The slot holding the newest complete frame. Throws std::runtime_error without a header.
    const guint8* get_read_address() const;
    /// The slot readers are not reading. Throws std::runtime_error on a reader or without header.
    guint8* get_write_address() const;
    /// Throws std::runtime_error "Attempted to Grab Write Sem on Invalid Buffer" unless valid.
    void grab_read_sem();
    void release_read_sem();
    /// Throws std::runtime_error "Attempted to Grab Write Sem on Invalid Buffer" unless valid.
    void grab_write_sem();
    /// Publishes the write slot: flips the indicator, counts the frame, stamps the local time.
    void release_write_sem();
    /// Polls every millisecond until the last write time changes or the (local, absolute)
    /// deadline has passed; a special deadline never expires.
    void wait_for_write(boost::posix_time::ptime deadline) const;
    /// Not-a-date-time without a mapping or before the first publication.
    boost::posix_time::ptime get_last_write_time() const;
    void reset_last_write_time() const;

    // Discovery and clean-up of buffers outliving their processes.

    /// Entry names ending in "_buffer" in `directory`; empty (and logged) when unreadable.
    static std::vector<std::string> get_double_buffer_names(const std::string& directory);
    /// Entry names ending in "_buffer" in /dev/shm.
    static std::vector<std::string> get_double_buffer_names();
    /// The owner_pid of a double buffer; 0 when there is none or it cannot be read.
    static pid_t get_double_buffer_owner(const std::string& name);
    /// Unlinks the object; a failure is logged at warn.
    static void remove(const char* name);
    /// Removes the buffer if its owner process no longer exists; true when removal was tried.
    static bool remove_double_buffer_if_owner_pid_expired(const char* name);

private:
    boost::interprocess::shared_memory_object shm;
    boost::interprocess::mapped_region region;
    std::string name;
    boost::interprocess::mode_t mode;
    std::uint64_t width;
    std::uint64_t height;
    bool valid;
    // Placed in what was padding after `valid`, so the handle's size and every other member's
    // offset stay what hosts compiled against.
    bool dimensions_from_header;
};
