// SPDX-License-Identifier: LGPL-2.1-or-later
// Checks on the arrays hosts hand in, and the waits they may interrupt.
#include "frame_arrays.h"
#include <algorithm>
#include <stdexcept>

#include "module_parts.h"

namespace py = pybind11;

namespace zorvpy {

std::optional<frame_array> rows_of(py::handle given, bool writing) {
    if (!py::isinstance<py::array>(given)) {
        throw py::type_error(
            "a frame is a numpy array, not " +
            py::str(py::type::handle_of(given).attr("__name__")).cast<std::string>());
    }
    const auto array = py::reinterpret_borrow<py::array>(given);
    if (!array.dtype().is(py::dtype::of<std::uint8_t>())) {
        const std::string message =
            "a frame is an array of uint8, not " + py::str(array.dtype()).cast<std::string>();
        if (writing) {
            throw py::value_error(message);
        }
        throw py::type_error(message);
    }
    if (array.ndim() != 3 || array.shape(2) != 4 || array.shape(0) <= 0 || array.shape(1) <= 0) {
        throw py::value_error("a frame is an (height, width, 4) array, not one of shape " +
                              py::str(array.attr("shape")).cast<std::string>());
    }
    if (writing && !array.writeable()) {
        throw py::value_error("the array is read-only");
    }
    if (array.shape(0) > zorvgst::max_frame_dimension ||
        array.shape(1) > zorvgst::max_frame_dimension) {
        throw py::value_error("a frame is at most " + std::to_string(zorvgst::max_frame_dimension) +
                              " pixels wide and high");
    }
    const py::ssize_t row_bytes = array.shape(1) * 4;
    if (array.strides(2) != 1 || array.strides(1) != 4 ||
        (array.shape(0) > 1 && array.strides(0) < row_bytes)) {
        return std::nullopt;
    }
    frame_array rows;
    rows.data = static_cast<std::uint8_t*>(const_cast<void*>(array.data()));
    rows.row_stride = static_cast<std::size_t>(array.shape(0) > 1 ? array.strides(0) : row_bytes);
    rows.width = static_cast<unsigned>(array.shape(1));
    rows.height = static_cast<unsigned>(array.shape(0));
    return rows;
}

void add_frame_arrays(py::module_& module) {
    module.def(
        "_frame_rows",
        [](py::handle array, bool writing) { return rows_of(array, writing).has_value(); },
        py::arg("array"), py::arg("writing"),
        "Checks a BGRA frame array as every copy checks it; whether the library copies into or "
        "out of it itself (pixels 4 bytes apart in rows that do not overlap).");
}

const char* layout_text(zorvgst::buffer_layout layout) {
    return layout == zorvgst::buffer_layout::frame_ring ? "ring" : "double_buffer";
}

zorvgst::backend backend_from_text(const std::string& text) {
    for (const zorvgst::backend kind : {zorvgst::backend::posix, zorvgst::backend::sysv}) {
        if (text == zorvgst::backend_name(kind)) {
            return kind;
        }
    }
    throw py::value_error("backend must be 'posix' or 'sysv', not '" + text + "'");
}

bool wait_interruptibly(const std::optional<double>& timeout_s,
                        const std::function<bool(std::chrono::nanoseconds)>& wait,
                        const std::function<bool()>& stopped) {
    using clock = std::chrono::steady_clock;
    // Short enough that Ctrl-C feels immediate; long enough to cost nothing while idle.
    constexpr std::chrono::nanoseconds slice = std::chrono::milliseconds(50);
    // Longer is forever in practice; the clock arithmetic would overflow far beyond it.
    constexpr double longest_timeout_s = 1e7;
    if (timeout_s && !(*timeout_s >= 0)) {
        throw py::value_error("timeout must be a number of seconds, at least 0");
    }
    const double limit_s = timeout_s ? std::min(*timeout_s, longest_timeout_s) : longest_timeout_s;
    const clock::time_point deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                                          std::chrono::duration<double>(limit_s));
    while (true) {
        const std::chrono::nanoseconds step = std::clamp<std::chrono::nanoseconds>(
            deadline - clock::now(), std::chrono::nanoseconds(0), slice);
        bool done = false;
        {
            const py::gil_scoped_release unlocked;
            done = wait(step);
        }
        if (done) {
            return true;
        }
        if (stopped()) {
            return false;
        }
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
        if (clock::now() >= deadline) {
            return false;
        }
    }
}

} // namespace zorvpy
