// SPDX-License-Identifier: LGPL-2.1-or-later
// What makes a string a buffer name, in one place for the library, its elements and its programs.
#pragma once

#include <string_view>

#include <zorvgst/export.h>

namespace zorvgst {

/// True when `name` names exactly one entry of the shared-memory directory: not empty, not "."
/// or "..", and without '/'. The library refuses every other name.
ZORVGST_EXPORT bool is_plain_buffer_name(std::string_view name);

/// True when supervisors (zorvgst-shm, the inventory) list and expire the buffer and zorvgst-serve
/// may serve it: a plain name that ends in "_buffer", as the naming functions make them.
ZORVGST_EXPORT bool is_listed_buffer_name(std::string_view name);

} // namespace zorvgst
