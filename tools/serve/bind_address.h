// SPDX-License-Identifier: LGPL-2.1-or-later
// What a --bind value means: the address to listen on, and whether it is loopback only.
#pragma once

#include <optional>
#include <string>

namespace zorvgst_serve {

/// The IP address `bind` names: an IP address as it is, "localhost" as the IPv4 loopback (GIO
/// parses no host names); nothing for anything else.
std::optional<std::string> listen_address(const std::string& bind);

/// Whether `bind` names this machine's loopback interface only.
bool is_loopback(const std::string& bind);

} // namespace zorvgst_serve
