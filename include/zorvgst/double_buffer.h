// SPDX-License-Identifier: LGPL-2.1-or-later
// Facade over a POSIX double buffer, conventional buffer names and the buffer-type probe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <glib.h>
#include <sys/types.h>

#include <zorvgst/export.h>
#include <zorvgst/posix_double_buffer.h>

/// Facade over one POSIX double buffer, owning its handle; every operation forwards to it.
/// Not assignable: a handle moves between facades only by transfer or swap.
class ZORVGST_EXPORT double_buffer_t {
public:
    /// Empty handle: never becomes valid.
    double_buffer_t();
    double_buffer_t(const char* name, boost::interprocess::mode_t mode);
    double_buffer_t(const char* name, boost::interprocess::mode_t mode, unsigned long width,
                    unsigned long height);
    /// Transfer: this facade takes `other`'s mapping; `other` keeps a handle without one.
    double_buffer_t(double_buffer_t& other);
    double_buffer_t& operator=(const double_buffer_t&) = delete;
    ~double_buffer_t();

    /// Exchanges the two handles' contents (names included).
    void swap(double_buffer_t& other);

    bool is_valid();
    std::string get_name() const;
    unsigned long get_width() const;
    unsigned long get_height() const;
    /// Whether the buffer still has the size and dimensions this facade mapped; when not, the
    /// handle logs, lets go of its mapping and reopens at the next is_valid().
    bool confirm_layout();

    const guint8* get_read_address() const;
    guint8* get_write_address() const;
    void grab_read_sem();
    void release_read_sem();
    void grab_write_sem();
    void release_write_sem();
    void wait_for_write(boost::posix_time::ptime deadline) const;
    boost::posix_time::ptime get_last_write_time() const;
    void reset_last_write_time() const;

    static void remove(const char* name);
    static bool remove_double_buffer_if_owner_pid_expired(const char* name);

private:
    posix_double_buffer_t* buffer;
};

/// The first four bytes of a shared-memory object: 0 for every POSIX double buffer; 1 when the
/// object is too small to carry a type. Other stored values are reported unchanged.
enum buffer_type_t : std::uint32_t {
    double_buffer_type = 0,
    invalid_buffer_type = 1,
};

/// name + "_buffer": the main video stream of a source.
ZORVGST_EXPORT std::string shared_memory_video_buffer_id(const char* name);
/// name + "_overlay_buffer".
ZORVGST_EXPORT std::string shared_memory_video_overlay_buffer_id(const char* name);
/// name + "_preview_buffer".
ZORVGST_EXPORT std::string shared_memory_video_preview_buffer_id(const char* name);

/// Reads the type word of an existing shared-memory object. Throws
/// boost::interprocess::interprocess_exception when it cannot be opened or mapped.
ZORVGST_EXPORT buffer_type_t get_buffer_type(const std::string& name);

ZORVGST_EXPORT std::vector<std::string> get_double_buffer_names(const std::string& directory);
ZORVGST_EXPORT std::vector<std::string> get_double_buffer_names();
ZORVGST_EXPORT pid_t get_double_buffer_owner(const std::string& name);
