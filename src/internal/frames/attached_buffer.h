// SPDX-License-Identifier: LGPL-2.1-or-later
// One attachment to a buffer of either backend, through the library's own handle classes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <sys/types.h>

#include <zorvgst/backend.h>
#include <zorvgst/error.h>

namespace zorvgst::detail {

/// What the frame layer needs of a buffer, whichever backend holds it. Header fields are read
/// with acquire loads; nothing here allocates.
class attached_buffer {
public:
    virtual ~attached_buffer() = default;
    virtual backend kind() const = 0;
    /// Still valid at the size and dimensions it was attached at. When not, the handle has let
    /// go of its memory and this attachment is to be dropped.
    virtual bool usable() = 0;
    /// The name now leads to another object or segment (or to none): the writer made the buffer
    /// anew, or it was removed.
    virtual bool replaced() const = 0;
    virtual unsigned width() const = 0;
    virtual unsigned height() const = 0;
    virtual std::uint64_t frame_count() const = 0;
    /// The slot the header names as newest: 0 or 1 (any other value is a corrupt header).
    virtual std::uint32_t indicator() const = 0;
    /// Local time, as stored; not-a-date-time before the first publication.
    virtual boost::posix_time::ptime last_write_time() const = 0;
    /// The word readers sleep on; the writer's publication wakes it.
    virtual const std::uint32_t* wake_word() const = 0;
    /// The slot holding the newest complete frame.
    virtual const std::uint8_t* newest_slot() = 0;
    /// The slot the next publication makes current (writers only).
    virtual std::uint8_t* write_slot() = 0;
    virtual void publish() = 0;
};

/// A reader's attachment to `name`, or null while there is nothing usable under it yet. Creates
/// nothing when no buffer exists.
std::unique_ptr<attached_buffer> attach_reader(backend kind, const std::string& name);

/// Why a writer's buffer could not be made: the code and errno value its error carries, and
/// the words.
struct write_failure {
    error_code code = error_code::system_error;
    int system_error = 0;
    std::string text;
};

/// A failure the system reported with errno `number`: running out of memory or space is
/// no_space, anything else a system_error; without a number, EIO.
write_failure system_failure(int number, std::string text);

/// A writer's attachment for `width` x `height` frames. A buffer of another size is removed and
/// made anew rather than cut short under its readers' mappings. Null, with `failure` saying why,
/// when the buffer cannot be made usable.
std::unique_ptr<attached_buffer> attach_writer(backend kind, const std::string& name,
                                               unsigned width, unsigned height,
                                               write_failure& failure);

/// Marks the POSIX buffer `name` (a double buffer or a frame ring) as holding no frame of any
/// size and wakes its sleepers, before it is replaced: its readers move on at once.
void retire_posix_buffer(const std::string& name);
/// The same for the object behind `fd`, which may have been removed from /dev/shm already.
void retire_posix_object(int fd);

/// Which backend holds `name` now, from what exists in /dev/shm; nothing when neither does.
std::optional<backend> detect_backend(const std::string& name);

} // namespace zorvgst::detail
