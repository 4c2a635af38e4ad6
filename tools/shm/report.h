// SPDX-License-Identifier: LGPL-2.1-or-later
// Human renderings of buffer snapshots: the list table and the show block.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include <zorvgst/inventory.h>

namespace zorvgst_shm {

using time_point = std::chrono::system_clock::time_point;

void print_table(std::ostream& out, const std::vector<zorvgst::buffer_status>& buffers,
                 time_point now);
void print_details(std::ostream& out, const zorvgst::buffer_status& status, time_point now);

} // namespace zorvgst_shm
