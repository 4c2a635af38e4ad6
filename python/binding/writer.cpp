// SPDX-License-Identifier: LGPL-2.1-or-later
// The module's writer: frames copied from numpy arrays, or drawn in place in the write slot.
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <zorvgst/frames.h>

#include "frame_arrays.h"
#include "module_parts.h"

namespace py = pybind11;

namespace zorvpy {

void add_writer(py::module_& module) {
    py::class_<zorvgst::frame_writer>(module, "_Writer", "The frame API's writer.")
        .def(py::init([](const std::string& name, unsigned width, unsigned height,
                         const std::string& backend) {
                 return std::make_unique<zorvgst::frame_writer>(name, width, height,
                                                                backend_from_text(backend));
             }),
             py::arg("name"), py::arg("width"), py::arg("height"), py::arg("backend") = "posix")
        .def(
            "write",
            [](zorvgst::frame_writer& writer, const py::array& pixels) {
                const std::optional<frame_array> rows = rows_of(pixels, false);
                if (!rows) {
                    throw py::value_error("the array's pixels must lie 4 bytes apart in rows");
                }
                if (rows->width != writer.width() || rows->height != writer.height()) {
                    throw py::value_error(
                        "a " + std::to_string(rows->width) + "x" + std::to_string(rows->height) +
                        " frame does not fit a writer of " + std::to_string(writer.width()) + "x" +
                        std::to_string(writer.height()));
                }
                zorvgst::frame_info info;
                {
                    const py::gil_scoped_release unlocked;
                    info = writer.write(rows->data, rows->row_stride);
                }
                return frame_tuple(info);
            },
            py::arg("pixels"), "Copies one frame and publishes it; returns its info.")
        .def(
            "slot",
            [](py::object self) {
                auto& writer = self.cast<zorvgst::frame_writer&>();
                const auto height = static_cast<py::ssize_t>(writer.height());
                const auto width = static_cast<py::ssize_t>(writer.width());
                // The array keeps the writer object alive; the slot itself lasts until the next
                // resize.
                return py::array(py::dtype::of<std::uint8_t>(), {height, width, py::ssize_t{4}},
                                 {width * 4, py::ssize_t{4}, py::ssize_t{1}}, writer.frame(), self);
            },
            "The slot the next publish() makes current, as a writable (H, W, 4) array.")
        .def("publish", [](zorvgst::frame_writer& writer) { return frame_tuple(writer.publish()); })
        .def("resize", &zorvgst::frame_writer::resize, py::arg("width"), py::arg("height"))
        .def_property_readonly("width", &zorvgst::frame_writer::width)
        .def_property_readonly("height", &zorvgst::frame_writer::height)
        .def_property_readonly("name", &zorvgst::frame_writer::name)
        .def_property_readonly("backend", [](const zorvgst::frame_writer& writer) {
            return backend_text(writer.kind());
        });
}

} // namespace zorvpy
