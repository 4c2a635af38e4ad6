// SPDX-License-Identifier: LGPL-2.1-or-later
// The fields of a buffer snapshot as the supervisor and the Python package report them.
#pragma once

#include <chrono>
#include <string>

#include <zorvgst/inventory.h>

namespace zorvgst_host {

/// "ready", "not_ready", "orphan" or "foreign".
const char* state_name(const zorvgst::buffer_status& status);

/// The last write time in local time, "2026-12-07 20:55:01.123456"; "-" before the first frame,
/// "invalid" for a value that is no time (the field is shared memory and may hold anything).
std::string format_time(const zorvgst::buffer_status& status);

/// Milliseconds from the last write to `now`, or a negative value when there is no usable time.
double age_ms(const zorvgst::buffer_status& status, std::chrono::system_clock::time_point now);

} // namespace zorvgst_host
