// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvgst._zorvgst: the compiled core of the Python package; the package wraps it.
#include <pybind11/pybind11.h>

#include <zorvgst/frames.h>

#include "errors.h"
#include "frame_record.h"
#include "log_bridge.h"
#include "module_parts.h"

namespace py = pybind11;

PYBIND11_MODULE(_zorvgst, module) {
    module.doc() = "Compiled core of the zorvgst package; use the package, not this module.";
    // Each zorvgst::error becomes the subclass of zorvgst.Error its code names.
    zorvpy::add_errors(module);
    zorvpy::add_frame_record(module);
    zorvpy::add_frame_arrays(module);
    module.attr("__version__") = ZORVGST_PYTHON_VERSION;
    zorvpy::install_log_bridge(module);
    zorvpy::add_plane_arrays(module);
    zorvpy::add_taken_frame(module);
    zorvpy::add_reader(module);
    zorvpy::add_writer(module);
    zorvpy::add_inventory(module);
}
