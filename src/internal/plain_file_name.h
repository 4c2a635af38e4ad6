// SPDX-License-Identifier: LGPL-2.1-or-later
// Buffer names that become file names in a shared directory must stay inside it.
#pragma once

#include <string>

namespace zorvgst::detail {

/// True when `name` can be appended to a directory and still name an entry of that directory:
/// not empty, not "." or "..", and without '/'.
inline bool is_plain_file_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

} // namespace zorvgst::detail
