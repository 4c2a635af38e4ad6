// SPDX-License-Identifier: LGPL-2.1-or-later
// Human and machine renderings of buffer snapshots: the list table, the show block and JSON.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include <zorvgst/inventory.h>

namespace zorvgst_shm {

using time_point = std::chrono::system_clock::time_point;

/// The last write time in local time, "2026-12-07 20:55:01.123456"; "-" before the first frame,
/// "invalid" for a value that is no time (the field is shared memory and may hold anything).
std::string format_time(const zorvgst::buffer_status& status);

/// Milliseconds from the last write to `now`, or a negative value when there is no usable time.
double age_ms(const zorvgst::buffer_status& status, time_point now);

/// JSON string literal with quotes, control characters and non-ASCII bytes escaped.
std::string json_string(const std::string& text);

void print_table(std::ostream& out, const std::vector<zorvgst::buffer_status>& buffers,
                 time_point now);
void print_json(std::ostream& out, const std::vector<zorvgst::buffer_status>& buffers,
                time_point now);
void print_details(std::ostream& out, const zorvgst::buffer_status& status, time_point now);
/// One buffer as a JSON object.
void print_json_object(std::ostream& out, const zorvgst::buffer_status& status, time_point now,
                       const std::string& indent);

} // namespace zorvgst_shm
