// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading one buffer's status without creating anything.
#pragma once

#include <optional>
#include <string>

#include <zorvgst/inventory.h>

namespace zorvgst::detail {

/// The status of the buffer `name` of either backend, or nothing when there is no such buffer.
/// Opens only what exists and creates nothing, so that inspecting never leaves pieces of a
/// buffer behind.
std::optional<buffer_status> probe_buffer(const std::string& name);

} // namespace zorvgst::detail
