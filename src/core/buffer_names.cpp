// SPDX-License-Identifier: LGPL-2.1-or-later
// Conventional buffer names under which producers and consumers of one source meet.
#include <zorvgst/double_buffer.h>

std::string shared_memory_video_buffer_id(const char* name) {
    return std::string(name) + "_buffer";
}

std::string shared_memory_video_overlay_buffer_id(const char* name) {
    return std::string(name) + "_overlay_buffer";
}

std::string shared_memory_video_preview_buffer_id(const char* name) {
    return std::string(name) + "_preview_buffer";
}
