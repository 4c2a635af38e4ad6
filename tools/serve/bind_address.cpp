// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading --bind values through GIO's address parser.
#include "bind_address.h"

#include <gio/gio.h>

namespace zorvgst_serve {

std::optional<std::string> listen_address(const std::string& bind) {
    if (bind == "localhost") {
        return std::string("127.0.0.1");
    }
    GInetAddress* parsed = g_inet_address_new_from_string(bind.c_str());
    if (parsed == nullptr) {
        return std::nullopt;
    }
    g_object_unref(parsed);
    return bind;
}

bool is_loopback(const std::string& bind) {
    const std::optional<std::string> address = listen_address(bind);
    GInetAddress* parsed = address ? g_inet_address_new_from_string(address->c_str()) : nullptr;
    if (parsed == nullptr) {
        return false;
    }
    const bool loopback = g_inet_address_get_is_loopback(parsed) != FALSE;
    g_object_unref(parsed);
    return loopback;
}

} // namespace zorvgst_serve
