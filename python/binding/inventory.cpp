// SPDX-License-Identifier: LGPL-2.1-or-later
// The module's inventory: the buffers of this machine as the supervisor's JSON lists them.
#include <string>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <zorvgst/inventory.h>

#include "frame_arrays.h"
#include "host/buffer_report.h"
#include "module_parts.h"

namespace py = pybind11;

namespace zorvpy {

namespace {

/// The keys and values of `zorvgst-shm list --json`.
py::dict buffer_dict(const zorvgst::buffer_status& status,
                     std::chrono::system_clock::time_point now) {
    py::dict fields;
    fields["name"] = status.name;
    fields["backend"] = backend_text(status.backend);
    fields["ready"] = status.state == zorvgst::buffer_state::ready;
    fields["state"] = zorvgst_host::state_name(status);
    fields["width"] = status.width;
    fields["height"] = status.height;
    fields["owner_pid"] = status.owner_pid;
    fields["owner_alive"] = status.owner_alive;
    fields["frame_count"] = status.frame_count;
    fields["last_write_time"] = status.last_write_time
                                    ? py::object(py::str(zorvgst_host::format_time(status)))
                                    : py::object(py::none());
    const double age = zorvgst_host::age_ms(status, now);
    fields["age_ms"] = age < 0 ? py::object(py::none()) : py::object(py::float_(age));
    fields["size"] = status.bytes;
    return fields;
}

py::list buffer_list(const std::vector<zorvgst::buffer_status>& buffers) {
    const auto now = std::chrono::system_clock::now();
    py::list list;
    for (const auto& status : buffers) {
        list.append(buffer_dict(status, now));
    }
    return list;
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
            return buffer_list(buffers);
        },
        "Every buffer of both backends, as dicts.");
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
            return py::make_tuple(buffer_list(expired), failed);
        },
        py::arg("names"), py::arg("dry_run"),
        "The buffers expired (or that would be), and the names that failed with why.");
}

} // namespace zorvpy
