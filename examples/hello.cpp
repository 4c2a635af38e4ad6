// SPDX-License-Identifier: LGPL-2.1-or-later
// Smallest host: initialises the library and reports what it linked against, logging through
// log4cxx as the library does.
#include <iostream>

#include <log4cxx/consoleappender.h>
#include <log4cxx/patternlayout.h>

#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/zorvgst.h>

// A host that logs through log4cxx itself may define the logger the library writes to; one that
// does not can leave it out (the other examples do).
log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvgst");

int main(int argc, char** argv) {
    auto layout = std::make_shared<log4cxx::PatternLayout>("%d{HH:mm:ss.SSS} %-5p [%F:%L] %m%n");
    logger->addAppender(std::make_shared<log4cxx::ConsoleAppender>(layout));
    logger->setLevel(log4cxx::Level::getInfo());

    zorvgstlib_init(argc, argv);
    LOG4CXX_INFO(logger, "zorvgst initialised; GStreamer " << gst_version_string());

    std::cout << "zorvgst version " << zorvgstlib_version() << ", build " << zorvgstlib_build()
              << "\n"
              << "a 1920x1080 BGRA double buffer takes " << compute_size(1920, 1080)
              << " bytes of shared memory\n";
    return 0;
}
