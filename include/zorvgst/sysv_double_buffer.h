// SPDX-License-Identifier: LGPL-2.1-or-later
// System V double buffer: segments found through key files, readers woken by a named condition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <boost/interprocess/xsi_key.hpp>
#include <glib.h>
#include <sys/types.h>

#include <zorvgst/export.h>
#include <zorvgst/posix_double_buffer.h>

namespace sysv_double_buffer {

/// The 40-byte header at offset 0 of every System V segment. Unlike the POSIX header it has no
/// type word: the indicator comes first. Read and written in place by unrelated processes.
struct sysv_double_buffer_header_t {
    std::uint32_t buffer_indicator;           ///< slot holding the newest complete frame: 0 or 1
    std::uint32_t padding0;                   ///< never written or read
    boost::posix_time::ptime last_write_time; ///< local time of the last publication
    std::uint32_t width;                      ///< frame width in pixels
    std::uint32_t height;                     ///< frame height in pixels
    pid_t owner_pid;                          ///< writer that created the segment; 0 for none
    std::uint32_t padding1;                   ///< never written or read
    std::uint64_t frame_count;                ///< frames published since the last header reset
};

static_assert(std::is_standard_layout_v<sysv_double_buffer_header_t>);
static_assert(std::is_trivially_copyable_v<sysv_double_buffer_header_t>);
static_assert(offsetof(sysv_double_buffer_header_t, buffer_indicator) == 0);
static_assert(offsetof(sysv_double_buffer_header_t, padding0) == 4);
static_assert(offsetof(sysv_double_buffer_header_t, last_write_time) == 8);
static_assert(offsetof(sysv_double_buffer_header_t, width) == 16);
static_assert(offsetof(sysv_double_buffer_header_t, height) == 20);
static_assert(offsetof(sysv_double_buffer_header_t, owner_pid) == 24);
static_assert(offsetof(sysv_double_buffer_header_t, padding1) == 28);
static_assert(offsetof(sysv_double_buffer_header_t, frame_count) == 32);
static_assert(sizeof(sysv_double_buffer_header_t) == 40);

/// Segment size: the same computation as the global `compute_size`.
ZORVGST_EXPORT std::uint64_t compute_size(std::uint64_t width, std::uint64_t height);

/// Group id of "zorv", or (gid_t)-1 after a fatal log line when the group does not exist.
ZORVGST_EXPORT gid_t get_zorv_gid_t();

/// Name of the buffer's write-wait condition: name + "_cond".
ZORVGST_EXPORT std::string build_write_wait_condition_name(const std::string& name);

/// Name of the buffer's write-wait mutex: name + "_cond_mutex".
ZORVGST_EXPORT std::string build_write_wait_condition_mutex_name(const std::string& name);

/// A process's handle on one System V double buffer. It owns its attachment and its handles on
/// the write-wait condition and mutex, never the segment, key file or named objects: those
/// outlive every handle and go only through `remove`. Used by one thread at a time.
///
/// Buffer names are file names in "/dev/shm": a name that is ".", ".." or contains '/' is
/// refused with an error line by every operation that would reach the system, and nothing is
/// created, opened or removed for it.
class ZORVGST_EXPORT sysv_double_buffer_t {
public:
    /// Detached handle; touches nothing on the system.
    sysv_double_buffer_t();
    /// Opens `name` (a reader adopts the header's dimensions). Never throws for a failure to
    /// attach: the handle stays invalid and `is_valid()` retries.
    sysv_double_buffer_t(const char* name, boost::interprocess::mode_t mode);
    /// Opens `name` expecting frames of `width` x `height`; a writer creates the segment.
    sysv_double_buffer_t(const char* name, boost::interprocess::mode_t mode, std::size_t width,
                         std::size_t height);
    /// Takes over `other`'s attachment; `other` keeps its name, mode, size and flag but must not
    /// exchange frames afterwards.
    sysv_double_buffer_t(sysv_double_buffer_t& other);
    sysv_double_buffer_t& operator=(const sysv_double_buffer_t&) = delete;
    ~sysv_double_buffer_t();

    void swap(sysv_double_buffer_t& other);

    /// Attaches (and as a writer creates) the segment unless already valid. Failures are logged
    /// and leave the handle invalid; a valid reader re-checks the header's dimensions and may
    /// throw std::runtime_error on a mismatch.
    void check_and_init_if_necessary();
    bool is_valid();
    void reset_header();
    void retrieve_dimensions_from_shared_memory_or_throw_error_if_mismatch();

    int get_shmid() const { return shmid; }
    /// Checks, with one shmctl and two header loads, that the attached segment has not been removed
    /// and that the header still carries the handle's dimensions. When either changed, logs one
    /// error line, detaches and makes the handle invalid, so that the next is_valid() attaches
    /// whatever segment the name leads to now (a handle opened without dimensions adopts the new
    /// ones). Returns whether reads through this handle may go on: false for an invalid handle;
    /// true for a valid one without an attachment, which the address operations report themselves.
    bool confirm_layout();
    /// The header at the start of the attachment; null when nothing (or less than a header) is
    /// attached.
    sysv_double_buffer_header_t* get_header() const;
    const std::string& get_name() const { return name; }
    std::size_t get_width() const { return width; }
    std::size_t get_height() const { return height; }

    /// "/dev/shm", where key files live.
    static boost::filesystem::path shm_file_path();
    static boost::filesystem::path get_key_file_path(const char* name);
    /// Key of the buffer's key file (project id 59); key 0 when the file is missing and `create`
    /// is false, or when the name is refused.
    static boost::interprocess::xsi_key key_from_name(const char* name, bool create);

    // Frame exchange. Slots are never locked: the writer fills the slot the indicator does not
    // name and publishes by flipping it.

    /// (Re)opens the named write-wait condition and mutex; Boost's exceptions leave it.
    void init_write_wait_cond();
    /// Throw std::runtime_error unless the handle is (or becomes) valid.
    void grab_read_sem();
    void grab_write_sem();
    /// Slot holding the newest frame. Throws std::runtime_error without an attachment.
    const guint8* get_read_address() const;
    /// Slot readers are not reading; writers only. Throws std::runtime_error otherwise.
    guint8* get_write_address() const;
    void release_read_sem();
    /// Flips the indicator, counts and stamps the frame, and wakes every waiter.
    void release_write_sem();
    /// Sleeps until the next publication or `deadline` (UTC); a special value waits without
    /// limit. A process that died holding the write-wait mutex cannot hold a bounded wait past
    /// its deadline.
    void wait_for_write(boost::posix_time::ptime deadline) const;
    boost::posix_time::ptime get_last_write_time() const;
    /// Marks the buffer as holding no frame; wakes nobody.
    void reset_last_write_time() const;

    // Housekeeping for supervisors; no state is kept.

    /// Entry names ending in "_buffer" in `directory` (POSIX objects and key files alike).
    static std::vector<std::string> get_double_buffer_names(const std::string& directory);
    static std::vector<std::string> get_double_buffer_names();
    /// The header's owner, 0 when there is none or the buffer cannot be opened.
    static pid_t get_double_buffer_owner(const std::string& name);
    /// Removes the segment, key file, write-wait condition and mutex. Throws
    /// boost::interprocess::interprocess_exception when a key file has no segment.
    static void remove(const char* name);
    /// Removes the buffer when its owner process no longer exists; true when it tried.
    static bool remove_double_buffer_if_owner_pid_expired(const char* name);

private:
    /// Whether both slots of the handle's own dimensions lie inside the attachment.
    bool slots_fit_attachment() const;

    int shmid;
    boost::interprocess::mapped_region region;
    std::unique_ptr<boost::interprocess::named_mutex> write_wait_mutex;
    std::unique_ptr<boost::interprocess::named_condition> write_wait_cond;
    std::string name;
    boost::interprocess::mode_t mode;
    std::size_t width;
    std::size_t height;
    bool valid;
    // Placed in what was padding after `valid`, so the handle's size and every other member's
    // offset stay what hosts compiled against.
    bool dimensions_from_header = false;
};

} // namespace sysv_double_buffer
