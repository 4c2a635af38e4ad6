// SPDX-License-Identifier: LGPL-2.1-or-later
// Log set-up shared by the programs that ship with the library.
#include "tools/common/library_log.h"

namespace zorvgst_tools {

void show_library_log(const log4cxx::LoggerPtr& library_logger,
                      const log4cxx::AppenderPtr& appender, const log4cxx::LevelPtr& threshold) {
    library_logger->addAppender(appender);
    // A host that configures the root logger as well would otherwise print every line twice.
    library_logger->setAdditivity(false);
    library_logger->setLevel(threshold);
}

} // namespace zorvgst_tools
