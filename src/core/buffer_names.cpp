// SPDX-License-Identifier: LGPL-2.1-or-later
// Conventional buffer names under which producers and consumers of one source meet, and what
// makes a string one.
#include <zorvgst/buffer_name.h>
#include <zorvgst/double_buffer.h>

namespace {

constexpr std::string_view listed_suffix = "_buffer";

} // namespace

std::string shared_memory_video_buffer_id(const char* name) {
    return std::string(name) + std::string(listed_suffix);
}

std::string shared_memory_video_overlay_buffer_id(const char* name) {
    return std::string(name) + "_overlay" + std::string(listed_suffix);
}

std::string shared_memory_video_preview_buffer_id(const char* name) {
    return std::string(name) + "_preview" + std::string(listed_suffix);
}

namespace zorvgst {

bool is_plain_buffer_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

bool is_listed_buffer_name(std::string_view name) {
    return is_plain_buffer_name(name) && name.size() >= listed_suffix.size() &&
           name.substr(name.size() - listed_suffix.size()) == listed_suffix;
}

} // namespace zorvgst
