// SPDX-License-Identifier: LGPL-2.1-or-later
// Buffer names of a directory, in the order every report lists them.
#include "internal/inventory/buffer_names.h"
#include <algorithm>

#include <zorvgst/posix_double_buffer.h>

namespace zorvgst::detail {

std::vector<std::string> sorted_buffer_names(const std::string& directory) {
    std::vector<std::string> names = posix_double_buffer_t::get_double_buffer_names(directory);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

} // namespace zorvgst::detail
