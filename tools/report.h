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
