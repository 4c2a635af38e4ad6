// SPDX-License-Identifier: LGPL-2.1-or-later
// The module's inventory: the buffers of this machine as the supervisor's JSON lists them.
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <zorvgst/inventory.h>

#include "module_parts.h"
#include "tools/common/buffer_report.h"

namespace py = pybind11;

namespace zorvpy {

namespace {

/// The listing as `zorvgst-shm list --json` prints it, from the same code: the package parses it,
/// so that both always give the same keys and values.
std::string buffers_json(const std::vector<zorvgst::buffer_status>& buffers) {
    std::ostringstream text;
    zorvgst_tools::print_json(text, buffers, std::chrono::system_clock::now());
    return text.str();
}

} // namespace

void add_inventory(py::module_& module) {
    module.def(
        "_list_buffers",
        [] {
            std::vector<zorvgst::buffer_status> buffers;
            {
                const py::gil_scoped_release unlocked;
                buffers = zorvgst::list_buffers();
            }
            return buffers_json(buffers);
        },
        "Every buffer of both backends, as the JSON of `zorvgst-shm list --json`.");
    module.def(
        "_remove",
        [](const std::string& name) -> py::object {
            if (!zorvgst::find_backend(name)) {
                return py::none();
            }
            return py::bool_(zorvgst::remove_buffer(name));
        },
        py::arg("name"), "None when there is no such buffer; whether nothing of it is left.");
    module.def(
        "_expire",
        [](const std::vector<std::string>& names, bool dry_run) {
            std::vector<zorvgst::expiry_failure> failures;
            std::vector<zorvgst::buffer_status> expired;
            {
                const py::gil_scoped_release unlocked;
                expired = zorvgst::expire_buffers(names, dry_run, failures);
            }
            py::list failed;
            for (const auto& failure : failures) {
                failed.append(py::make_tuple(
                    failure.name, failure.reason == zorvgst::expiry_failure_reason::not_found
                                      ? "not_found"
                                      : "left_behind"));
            }
            return py::make_tuple(buffers_json(expired), failed);
        },
        py::arg("names"), py::arg("dry_run"),
        "The buffers expired (or that would be), and the names that failed with why.");
}

} // namespace zorvpy
