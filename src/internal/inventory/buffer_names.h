// SPDX-License-Identifier: LGPL-2.1-or-later
// Names of the buffers in a directory, as the inventory goes through them.
#pragma once

#include <string>
#include <vector>

namespace zorvgst::detail {

/// Entry names ending in "_buffer" in `directory`, sorted, each once; empty (and logged) when the
/// directory cannot be read.
std::vector<std::string> sorted_buffer_names(const std::string& directory);

} // namespace zorvgst::detail
