// SPDX-License-Identifier: LGPL-2.1-or-later
// Buffer snapshots as the shipped programs report them: their fields, and the JSON listing.
#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <zorvgst/inventory.h>

namespace zorvgst_tools {

/// What a buffer is made of, beside its header's fields.
struct buffer_makeup {
    /// "double-buffer" or "ring"; null for memory that holds neither.
    const char* kind = nullptr;
    /// The frames' format: BGRA for a double buffer, a ring's own; empty when there are no frames
    /// to read (an orphan key file, foreign memory) or a ring's header names none.
    std::string format;
    /// A frame ring's make-up and lease holders.
    std::optional<zorvgst::ring_report> ring;
};

/// Looks at what the buffer of `status` is made of; a ring's header and readers are read now.
buffer_makeup makeup_of(const zorvgst::buffer_status& status);

/// "ready", "not_ready", "orphan" or "foreign".
const char* state_name(const zorvgst::buffer_status& status);

/// The last write time in local time, "2026-12-07 20:55:01.123456"; "-" before the first frame,
/// "invalid" for a value that is no time (the field is shared memory and may hold anything).
std::string format_time(const zorvgst::buffer_status& status);

/// Milliseconds from the last write to `now`, or a negative value when there is no usable time.
double age_ms(const zorvgst::buffer_status& status, std::chrono::system_clock::time_point now);

/// JSON string literal with quotes, control characters and non-ASCII bytes escaped.
std::string json_string(const std::string& text);

/// One buffer as the JSON object `zorvgst-shm list --json` prints, its lines after `indent`; what
/// the buffer is made of is looked at for it.
void print_json_object(std::ostream& out, const zorvgst::buffer_status& status,
                       std::chrono::system_clock::time_point now, const std::string& indent);

/// {"buffers": [...]}: every buffer as print_json_object() writes it.
void print_json(std::ostream& out, const std::vector<zorvgst::buffer_status>& buffers,
                std::chrono::system_clock::time_point now);

} // namespace zorvgst_tools
