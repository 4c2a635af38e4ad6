// SPDX-License-Identifier: LGPL-2.1-or-later
// Parsing and checking zorvgst-serve's command line.
#include "serve_options.h"

#include "bind_address.h"
#include "tools/common/arguments.h"

namespace zorvgst_serve {

const char* const serve_usage =
    "usage: zorvgst-serve [--bind ADDR] [--rtsp-port N] [--http-port N] [--token T]\n"
    "                     [--encoder x264|jpeg] [--max-clients N]\n"
    "\n"
    "Serves every double buffer of this machine: rtsp://ADDR:PORT/NAME for players, and a status\n"
    "page, JSON, snapshots, MJPEG streams and metrics over HTTP. Read-only.\n"
    "\n"
    "  --bind ADDR        address to listen on (default 127.0.0.1); any other than loopback\n"
    "                     needs --token\n"
    "  --rtsp-port N      RTSP port (default 8554; 0 picks a free one)\n"
    "  --http-port N      HTTP port (default 8080; 0 picks a free one)\n"
    "  --token T          required of every request: HTTP 'Authorization: Bearer T' or ?token=T,\n"
    "                     RTSP basic authentication as user 'zorvgst' with password T\n"
    "  --encoder E        x264 (default; JPEG when x264enc is missing) or jpeg\n"
    "  --max-clients N    RTSP clients, and HTTP streams, at once (default 16)\n"
    "  -h, --help         this text\n";

std::optional<std::string> parse_serve_options(const std::vector<std::string>& args,
                                               serve_options& out) {
    zorvgst_tools::arguments_t parsed;
    const zorvgst_tools::accepted_options_t accepted = {
        {"--bind", true},    {"--rtsp-port", true},   {"--http-port", true}, {"--token", true},
        {"--encoder", true}, {"--max-clients", true}, {"--help", false},     {"-h", false},
    };
    if (auto error = zorvgst_tools::parse_arguments(args, accepted, parsed)) {
        return error;
    }
    if (!parsed.positional.empty()) {
        return "unexpected argument '" + parsed.positional.front() + "'";
    }
    out.help = parsed.has("--help") || parsed.has("-h");
    const auto port = [&parsed](const char* option, unsigned& value) -> std::optional<std::string> {
        if (!parsed.has(option)) {
            return std::nullopt;
        }
        const auto number = zorvgst_tools::whole_number(parsed.options.at(option), 0, 65535);
        if (!number) {
            return std::string(option) + " needs a port number from 0 to 65535";
        }
        value = static_cast<unsigned>(*number);
        return std::nullopt;
    };
    if (auto error = port("--rtsp-port", out.rtsp_port)) {
        return error;
    }
    if (auto error = port("--http-port", out.http_port)) {
        return error;
    }
    if (parsed.has("--max-clients")) {
        const auto number =
            zorvgst_tools::whole_number(parsed.options.at("--max-clients"), 1, 1000);
        if (!number) {
            return "--max-clients needs a whole number from 1 to 1000";
        }
        out.max_clients = static_cast<unsigned>(*number);
    }
    if (parsed.has("--encoder")) {
        const std::string& encoder = parsed.options.at("--encoder");
        if (encoder == "x264") {
            out.encoder = encoder_choice::x264;
        } else if (encoder == "jpeg") {
            out.encoder = encoder_choice::jpeg;
        } else {
            return "--encoder is x264 or jpeg, not '" + encoder + "'";
        }
    }
    if (parsed.has("--token")) {
        out.token = parsed.options.at("--token");
        if (out.token.empty()) {
            return "--token needs a value that is not empty";
        }
    }
    if (parsed.has("--bind")) {
        out.bind = parsed.options.at("--bind");
        if (!listen_address(out.bind)) {
            return "--bind needs an IP address, not '" + out.bind + "'";
        }
    }
    if (!is_loopback(out.bind) && out.token.empty()) {
        return "listening on " + out.bind + " needs --token: only loopback is served without one";
    }
    return std::nullopt;
}

} // namespace zorvgst_serve
