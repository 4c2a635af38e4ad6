// SPDX-License-Identifier: LGPL-2.1-or-later
// Log set-up shared by the programs that ship with the library.
#include "tools/common/library_log.h"

#include <log4cxx/consoleappender.h>
#include <log4cxx/patternlayout.h>

namespace zorvgst_tools {

void show_library_log(const log4cxx::LoggerPtr& library_logger,
                      const log4cxx::AppenderPtr& appender, const log4cxx::LevelPtr& threshold) {
    library_logger->addAppender(appender);
    // A host that configures the root logger as well would otherwise print every line twice.
    library_logger->setAdditivity(false);
    library_logger->setLevel(threshold);
}

void log_warnings_to_console(const log4cxx::LoggerPtr& library_logger) {
    auto layout = std::make_shared<log4cxx::PatternLayout>("%d{HH:mm:ss.SSS} %-5p %m%n");
    show_library_log(library_logger, std::make_shared<log4cxx::ConsoleAppender>(layout),
                     log4cxx::Level::getWarn());
}

} // namespace zorvgst_tools
