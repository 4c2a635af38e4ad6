// SPDX-License-Identifier: LGPL-2.1-or-later
// The module's reader: waits that Ctrl-C ends, copies into numpy arrays, views without a copy.
#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <zorvgst/frames.h>

#include "frame_arrays.h"
#include "module_parts.h"

namespace py = pybind11;

namespace zorvpy {

namespace {

/// A frame_view that Python objects (numpy arrays among them) keep alive.
struct view_holder {
    zorvgst::frame_view view;
};

/// The frame API's reader, and whether another thread asked it to stop waiting: its waits come
/// in slices, and an interrupted slice must end the whole wait.
struct python_reader {
    explicit python_reader(zorvgst::frame_reader opened) : reader(std::move(opened)) {}
    zorvgst::frame_reader reader;
    std::atomic<bool> interrupted{false};
};

std::unique_ptr<python_reader> open_reader(const std::string& name,
                                           const std::optional<std::string>& backend) {
    if (backend) {
        return std::make_unique<python_reader>(
            zorvgst::frame_reader(name, backend_from_text(*backend)));
    }
    return std::make_unique<python_reader>(zorvgst::frame_reader(name));
}

/// (H, W, 4) read-only array over the view's pixels; the array keeps the view, and with it the
/// mapping, alive.
py::array view_array(const std::shared_ptr<view_holder>& holder) {
    const zorvgst::frame_view& view = holder->view;
    const auto height = static_cast<py::ssize_t>(view.info().height);
    const auto width = static_cast<py::ssize_t>(view.info().width);
    py::array array(py::dtype::of<std::uint8_t>(), {height, width, py::ssize_t{4}},
                    {static_cast<py::ssize_t>(view.stride()), py::ssize_t{4}, py::ssize_t{1}},
                    view.pixels(), py::cast(holder));
    py::detail::array_proxy(array.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return array;
}

} // namespace

void add_reader(py::module_& module) {
    py::class_<view_holder, std::shared_ptr<view_holder>>(module, "_View",
                                                          "A frame looked at in shared memory.")
        .def_property_readonly(
            "info", [](const view_holder& holder) { return frame_tuple(holder.view.info()); })
        .def("array",
             [](const std::shared_ptr<view_holder>& holder) { return view_array(holder); });

    py::class_<python_reader>(module, "_Reader", "The frame API's reader.")
        .def(py::init(&open_reader), py::arg("name"), py::arg("backend") = py::none())
        .def(
            "wait",
            [](python_reader& self, std::optional<double> timeout_s) {
                return wait_interruptibly(
                    timeout_s,
                    [&self](std::chrono::nanoseconds step) { return self.reader.wait(step); },
                    // An interruption ends this wait, or else the next one, and is spent by it.
                    [&self] { return self.interrupted.exchange(false); });
            },
            py::arg("timeout") = py::none(),
            "True once a frame newer than the last one returned is current; False when the "
            "timeout (seconds, None for none) passes.")
        .def(
            "read_into",
            [](python_reader& self, const py::array& out) -> py::object {
                const std::optional<frame_array> rows = rows_of(out, true);
                if (!rows) {
                    throw py::value_error("the array's pixels must lie 4 bytes apart in rows");
                }
                const std::size_t capacity =
                    rows->row_stride * (rows->height - 1) + std::size_t{rows->width} * 4;
                std::optional<zorvgst::frame_info> info;
                {
                    const py::gil_scoped_release unlocked;
                    info = self.reader.read(rows->data, rows->row_stride, capacity);
                }
                if (!info) {
                    return py::none();
                }
                return frame_tuple(*info);
            },
            py::arg("out"),
            "Copies the newest frame into `out`; its info, or None when there was none intact. "
            "Raises zorvgst.Error when the frame does not fit.")
        .def("newest",
             [](const python_reader& self) -> py::object {
                 const auto info = self.reader.newest();
                 return info ? py::object(frame_tuple(*info)) : py::object(py::none());
             })
        .def("look",
             [](python_reader& self) -> py::object {
                 std::optional<zorvgst::frame_view> view = self.reader.look();
                 if (!view) {
                     return py::none();
                 }
                 return py::cast(std::make_shared<view_holder>(view_holder{std::move(*view)}));
             })
        .def("intact", [](python_reader& self,
                          const view_holder& holder) { return self.reader.intact(holder.view); })
        .def("interrupt",
             [](python_reader& self) {
                 self.interrupted = true;
                 self.reader.interrupt();
             })
        .def_property_readonly("ready",
                               [](const python_reader& self) { return self.reader.ready(); })
        .def_property_readonly("name", [](const python_reader& self) { return self.reader.name(); })
        .def_property_readonly("backend",
                               [](const python_reader& self) -> py::object {
                                   const auto kind = self.reader.kind();
                                   return kind ? py::object(py::str(backend_text(*kind)))
                                               : py::object(py::none());
                               })
        .def_property_readonly("dropped",
                               [](const python_reader& self) { return self.reader.dropped(); });
}

} // namespace zorvpy
