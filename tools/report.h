// Human and machine renderings of buffer snapshots: the list table, the show block and JSON.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "inventory.h"

namespace zorvgst_shm {

/// "2026-12-07 20:55:01.123456", "-" before the first frame, "invalid" for a value that is no
/// time (the field is shared memory and may hold anything).
std::string format_time(const boost::posix_time::ptime& time);

/// Milliseconds from `time` to `now`, or a negative value when either is not a usable time.
double age_ms(const boost::posix_time::ptime& time, const boost::posix_time::ptime& now);

/// JSON string literal with quotes, control characters and non-ASCII bytes escaped.
std::string json_string(const std::string& text);

void print_table(std::ostream& out, const std::vector<buffer_info_t>& buffers,
                 const boost::posix_time::ptime& now);
void print_json(std::ostream& out, const std::vector<buffer_info_t>& buffers,
                const boost::posix_time::ptime& now);
void print_details(std::ostream& out, const buffer_info_t& info,
                   const boost::posix_time::ptime& now);
/// One buffer as a JSON object.
void print_json_object(std::ostream& out, const buffer_info_t& info,
                       const boost::posix_time::ptime& now, const std::string& indent);

} // namespace zorvgst_shm
