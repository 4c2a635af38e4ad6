// SPDX-License-Identifier: LGPL-2.1-or-later
// The exception the frame API throws, and the codes a caller switches on.
#pragma once

#include <stdexcept>
#include <string>

#include <zorvgst/export.h>

namespace zorvgst {

/// Why the frame API refused: one value per thing a caller can do about it.
enum class error_code {
    /// Made from a message alone, by code that names no reason.
    unspecified,
    /// A buffer name that is not one entry of /dev/shm.
    invalid_name,
    /// An unknown format, a frame size outside 1..max_frame_dimension, a layout that puts planes
    /// outside the frame, or a format the buffer or the call cannot carry.
    invalid_format,
    /// Another argument out of range: a source stride shorter than a row, ring options beyond
    /// the ring's limits.
    invalid_argument,
    /// The buffer is owned by another live process.
    owner_alive,
    /// Too little shared memory for the buffer (system_error() is ENOSPC).
    no_space,
    /// The destination cannot hold the frame.
    destination_too_small,
    /// The system refused; system_error() says why (an errno value).
    system_error,
};

/// What the caller must handle: a buffer that cannot be created or sized (with the system's
/// reason), an invalid name or format, a live owner, a destination too small for the frame.
/// code() says which; what() keeps the words.
class ZORVGST_EXPORT error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    error(error_code code, const std::string& message, int errno_value = 0)
        : std::runtime_error(message), code_(code), system_error_(errno_value) {}

    error_code code() const noexcept { return code_; }
    /// The errno value behind a system_error or no_space; 0 for the others.
    int system_error() const noexcept { return system_error_; }

private:
    error_code code_ = error_code::unspecified;
    int system_error_ = 0;
};

} // namespace zorvgst
