// SPDX-License-Identifier: LGPL-2.1-or-later
// The module's reader: waits that Ctrl-C ends, copies into numpy arrays, views without a copy,
// frames of a ring held or copied in any format.
#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <zorvgst/frames.h>

#include "frame_arrays.h"
#include "frame_record.h"
#include "module_parts.h"
#include "taken_frame.h"

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

/// Whether the attached buffer's frames are packed BGRA: what read_into() and look() hand out as
/// (H, W, 4) arrays.
bool packed_bgra(const zorvgst::frame_reader& reader) {
    const std::optional<zorvgst::frame_format> format = reader.format();
    return format && format->name == "BGRA";
}

/// The newest frame copied in the attached buffer's own layout, any format; null when there was
/// none intact.
std::shared_ptr<taken_frame> copy_frame(zorvgst::frame_reader& reader) {
    // A ring made anew in another format between format() and copy() is copied again.
    constexpr int attempts = 3;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const std::optional<zorvgst::frame_format> format = reader.format();
        if (!format) {
            return nullptr;
        }
        auto frame = std::make_shared<taken_frame>();
        frame->copy.reset(new std::uint8_t[format->size]);
        std::vector<std::uint8_t> metadata;
        zorvgst::read_result copied;
        {
            const py::gil_scoped_release unlocked;
            copied = reader.try_copy(frame->copy.get(), format->size, &frame->timing, &metadata);
        }
        // Too small: the new ring's frames are larger, and the next round sizes them.
        if (copied.status == zorvgst::read_status::too_small || reader.format() != format) {
            continue;
        }
        if (!copied) {
            return nullptr;
        }
        frame->format = *format;
        frame->info = copied.info;
        frame->metadata.assign(metadata.begin(), metadata.end());
        return frame;
    }
    return nullptr;
}

} // namespace

void add_reader(py::module_& module) {
    py::class_<view_holder, std::shared_ptr<view_holder>>(module, "_View",
                                                          "A frame looked at in shared memory.")
        .def_property_readonly(
            "info", [](const view_holder& holder) { return record_of(holder.view.info()); })
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
            [](python_reader& self, py::handle out) -> py::object {
                const std::optional<frame_array> rows = rows_of(out, true);
                if (!rows) {
                    throw py::value_error("the array's pixels must lie 4 bytes apart in rows");
                }
                const std::size_t capacity =
                    rows->row_stride * (rows->height - 1) + std::size_t{rows->width} * 4;
                if (!packed_bgra(self.reader)) {
                    return py::none();
                }
                zorvgst::read_result copied;
                {
                    const py::gil_scoped_release unlocked;
                    copied = self.reader.try_read(rows->data, rows->row_stride, capacity);
                }
                // Attached anew meanwhile, to a ring of another format: not a BGRA frame.
                if (!copied || !packed_bgra(self.reader)) {
                    return py::none();
                }
                return py::cast(record_of(copied.info));
            },
            py::arg("out"),
            "Copies the newest frame into `out`; its FrameInfo, or None when there was none "
            "intact or it did not fit `out` (the writer resized since newest()).")
        .def("newest",
             [](const python_reader& self) -> py::object {
                 const auto info = self.reader.newest();
                 return info ? py::cast(record_of(*info)) : py::object(py::none());
             })
        .def("look",
             [](python_reader& self) -> py::object {
                 std::optional<zorvgst::frame_view> view = self.reader.look();
                 // A view is (H, W, 4): plane 0 of another format would be read past its end.
                 if (!view || !packed_bgra(self.reader)) {
                     return py::none();
                 }
                 return py::cast(std::make_shared<view_holder>(view_holder{std::move(*view)}));
             })
        .def("intact", [](python_reader& self,
                          const view_holder& holder) { return self.reader.intact(holder.view); })
        .def(
            "hold",
            [](python_reader& self) -> py::object {
                std::optional<zorvgst::frame_lease> lease = self.reader.hold();
                if (!lease) {
                    return py::none();
                }
                return py::cast(take_lease(std::move(*lease)));
            },
            "The newest frame of a ring, held in shared memory; None when there is none, the "
            "buffer is a double buffer or this reader holds as many frames as it may.")
        .def(
            "copy_frame",
            [](python_reader& self) -> py::object {
                std::shared_ptr<taken_frame> frame = copy_frame(self.reader);
                return frame ? py::cast(frame) : py::object(py::none());
            },
            "The newest frame copied, any format and layout; None when there was none intact.")
        .def(
            "limit_leases",
            [](python_reader& self, unsigned count) { self.reader.limit_leases(count); },
            py::arg("count"))
        .def_property_readonly("layout",
                               [](const python_reader& self) -> py::object {
                                   const auto layout = self.reader.layout();
                                   return layout ? py::object(py::str(layout_text(*layout)))
                                                 : py::object(py::none());
                               })
        .def_property_readonly(
            "format", [](const python_reader& self) { return self.reader.format(); },
            "The _FrameFormat of the attached buffer's frames; None while detached.")
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
                                   return kind ? py::object(py::str(zorvgst::backend_name(*kind)))
                                               : py::object(py::none());
                               })
        .def_property_readonly("dropped",
                               [](const python_reader& self) { return self.reader.dropped(); });
}

} // namespace zorvpy
