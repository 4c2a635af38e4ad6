// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvgst-serve: every double buffer of this machine over RTSP, and a live status page over HTTP.
#include <chrono>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <gst/gst.h>
#include <log4cxx/consoleappender.h>
#include <log4cxx/patternlayout.h>

#include <zorvgst/library.h>

#include "buffer_catalog.h"
#include "http_service.h"
#include "rtsp_service.h"
#include "serve_options.h"
#include "server_stats.h"
#include "tools/common/library_log.h"
#include "tools/common/main_loop.h"

// The library logs to the host's logger; this program is the host.
log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvgst");

namespace {

const char* const program = "zorvgst-serve";

/// "127.0.0.1" as is, "::1" in brackets, as URLs write them.
std::string url_host(const std::string& address) {
    return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

} // namespace

int main(int argc, char** argv) {
    zorvgst_serve::serve_options options;
    if (const auto error = zorvgst_serve::parse_serve_options({argv + 1, argv + argc}, options)) {
        std::cerr << program << ": " << *error << " (try '" << program << " --help')\n";
        return 2;
    }
    if (options.help) {
        std::cout << zorvgst_serve::serve_usage;
        return 0;
    }
    // Warnings and errors of the library on standard error, with the time.
    zorvgst_tools::show_library_log(
        logger,
        std::make_shared<log4cxx::ConsoleAppender>(
            std::make_shared<log4cxx::PatternLayout>("%d{HH:mm:ss.SSS} %-5p %m%n"),
            LOG4CXX_STR("System.err")),
        log4cxx::Level::getWarn());
    gst_init(&argc, &argv);

    try {
        zorvgst_serve::server_stats stats;
        zorvgst_serve::buffer_catalog catalog;
        catalog.refresh();
        zorvgst_tools::main_loop loop;

        zorvgst_serve::rtsp_service rtsp(options, catalog, stats);
        const unsigned rtsp_port = rtsp.start();
        const std::string rtsp_base =
            "rtsp://" + url_host(options.bind) + ":" + std::to_string(rtsp_port) + "/";
        zorvgst_serve::http_service http(options, catalog, stats, rtsp_base);
        const unsigned http_port = http.start();

        std::cout << program << ": RTSP " << rtsp_base << "NAME (" << rtsp.encoder() << "), HTTP "
                  << "http://" << url_host(options.bind) << ":" << http_port << "/"
                  << (options.token.empty() ? "" : " (token required)") << std::endl;

        loop.every(std::chrono::seconds(1), [&catalog] {
            catalog.refresh();
            return true;
        });
        loop.run();
        std::cout << program << ": stopped" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << program << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}
