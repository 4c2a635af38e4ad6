// SPDX-License-Identifier: LGPL-2.1-or-later
// Sending the library's log lines to a function of the host instead of a log4cxx logger.
#pragma once

#include <functional>
#include <string_view>

#include <zorvgst/export.h>

namespace zorvgst {

/// The levels of the library's log lines, lowest first.
enum class log_level { trace, debug, info, warn, error, fatal };

/// Receives one library line: its level, the unit that logged it ("zorvgst",
/// "posix_double_buffer" or "sysv_double_buffer") and the message. The views last for the call.
/// Runs on whichever thread logged, one call at a time; lines it makes the library log itself are
/// dropped, and it must not throw.
using log_handler =
    std::function<void(log_level level, std::string_view unit, std::string_view message)>;

/// From now on every library line at `threshold` or above goes to `handler`, and nowhere else;
/// lines below it cost a comparison only. An empty `handler` restores the default: the host's
/// `logger` where it defines one, else the library's own log4cxx logger "zorvgst". Once this
/// returns, the previous handler is never called again and, unless this was called from inside
/// it, is not running. Any thread may call it.
ZORVGST_EXPORT void set_log_handler(log_handler handler, log_level threshold = log_level::info);

} // namespace zorvgst
