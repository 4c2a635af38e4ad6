// SPDX-License-Identifier: LGPL-2.1-or-later
// The host side every fuzz target needs: the logger the library binds, and start-up.
#include <cstdlib>

#include <log4cxx/logger.h>

#include <zorvgst/library.h>

#include "fuzz_support.h"

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvgst");

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Formatting log lines for every refused input would dominate the run.
    logger->setLevel(log4cxx::Level::getOff());
    // libFuzzer's own options are not GStreamer's business.
    char program[] = "zorvgst_fuzz";
    char* arguments[] = {program, nullptr};
    zorvgstlib_init(1, arguments);
    std::atexit(zorvfuzz::clean_up);
    return 0;
}
