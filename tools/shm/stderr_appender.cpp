// SPDX-License-Identifier: LGPL-2.1-or-later
// Standard-error appender that prints each distinct library line once.
#include "stderr_appender.h"
#include <cstdio>

#include <log4cxx/spi/loggingevent.h>

namespace zorvgst_shm {

void stderr_appender::append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) {
    std::string line = event->getLevel()->toString();
    line += ' ';
    line += event->getRenderedMessage();
    const std::lock_guard<std::mutex> lock(mutex);
    if (!seen.insert(line).second) {
        return;
    }
    std::fprintf(stderr, "zorvgst-shm: %s\n", line.c_str());
}

} // namespace zorvgst_shm
