// SPDX-License-Identifier: LGPL-2.1-or-later
// Cutting the buffer name out of an RTSP request path.
#include "rtsp_requested_name.h"

namespace zorvgst_serve {

std::optional<std::string> requested_name(const std::string& path) {
    if (path.size() < 2 || path.front() != '/') {
        return std::nullopt;
    }
    std::string name = path.substr(1);
    if (name.back() == '/') {
        name.pop_back();
    }
    if (name.empty() || name.find('/') != std::string::npos) {
        return std::nullopt;
    }
    return name;
}

} // namespace zorvgst_serve
