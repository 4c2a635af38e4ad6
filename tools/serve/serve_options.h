// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvgst-serve's command line: where it listens, how it encodes, who may watch.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zorvgst_serve {

enum class encoder_choice { x264, jpeg };

struct serve_options {
    std::string bind = "127.0.0.1";
    unsigned rtsp_port = 8554; ///< 0: any free port, printed at start
    unsigned http_port = 8080; ///< 0: any free port, printed at start
    /// Empty: no token. Set: every request needs it, from loopback too.
    std::string token;
    encoder_choice encoder = encoder_choice::x264;
    /// RTSP clients at once, and HTTP streams at once: each limit on its own.
    unsigned max_clients = 16;
    bool help = false;
};

/// Parses `args` (without the program name). Returns the message of a usage error, or nothing.
/// A bind address other than loopback without a token is an error: the server is read-only, but
/// what it shows may be private.
std::optional<std::string> parse_serve_options(const std::vector<std::string>& args,
                                               serve_options& out);

extern const char* const serve_usage;

} // namespace zorvgst_serve
