// SPDX-License-Identifier: LGPL-2.1-or-later
// The exception the frame API throws.
#pragma once

#include <stdexcept>

#include <zorvgst/export.h>

namespace zorvgst {

/// What the caller must handle: a buffer that cannot be created or sized (with the system's
/// reason), an invalid name or format, a live owner, a destination too small for the frame.
class ZORVGST_EXPORT error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace zorvgst
