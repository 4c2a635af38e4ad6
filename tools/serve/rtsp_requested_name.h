// SPDX-License-Identifier: LGPL-2.1-or-later
// The buffer name an RTSP request path asks for.
#pragma once

#include <optional>
#include <string>

namespace zorvgst_serve {

/// The buffer name that an RTSP request path ("/NAME", "/NAME/") asks for; nothing for a path of
/// any other shape, which no stream is served at.
std::optional<std::string> requested_name(const std::string& path);

} // namespace zorvgst_serve
