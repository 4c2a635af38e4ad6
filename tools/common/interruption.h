// SPDX-License-Identifier: LGPL-2.1-or-later
// Ctrl-C and SIGTERM for programs that loop on their own rather than in a GLib main loop.
#pragma once

namespace zorvgst_tools {

/// From now on SIGINT and SIGTERM only mark the process as interrupted.
void catch_interruptions();

/// Whether SIGINT or SIGTERM came since catch_interruptions().
bool interrupted();

} // namespace zorvgst_tools
