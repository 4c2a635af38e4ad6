// SPDX-License-Identifier: LGPL-2.1-or-later
// The `logger` the plugin gives the library when the process that loads it defines none.
#pragma once

namespace zorvplugin {

/// Sends the library's lines to GStreamer's debug log, category "zorvgst", when this process
/// defines no `logger` of its own; its level follows that category's threshold. Called at
/// plugin load.
void init_library_logging();

} // namespace zorvplugin
