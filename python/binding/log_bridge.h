// SPDX-License-Identifier: LGPL-2.1-or-later
// The library's log lines, handed to Python's logging under the logger "zorvgst".
#pragma once

#include <pybind11/pybind11.h>

namespace zorvpy {

/// Installs the bridge: lines logged on any thread are queued and emitted by the interpreter's
/// main thread at its next chance, so no library thread ever waits for the GIL.
void install_log_bridge(pybind11::module_& module);

/// Sets the library's threshold from the effective level of Python's "zorvgst" logger.
void follow_python_log_level();

} // namespace zorvpy
