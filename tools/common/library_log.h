// SPDX-License-Identifier: LGPL-2.1-or-later
// Where a program shows the library's log lines.
#pragma once

#include <log4cxx/appender.h>
#include <log4cxx/level.h>
#include <log4cxx/logger.h>

namespace zorvgst_tools {

/// The library's lines at `threshold` and above go to `appender`, and only there.
void show_library_log(const log4cxx::LoggerPtr& library_logger,
                      const log4cxx::AppenderPtr& appender, const log4cxx::LevelPtr& threshold);

} // namespace zorvgst_tools
