// SPDX-License-Identifier: LGPL-2.1-or-later
// The FrameInfo class and the frames' format: records with named read-only fields.
#include "frame_record.h"
#include <chrono>
#include <string>

#include <pybind11/stl.h>

namespace py = pybind11;

namespace zorvpy {

namespace {

std::optional<std::int64_t> known_time(std::int64_t nanoseconds) {
    return nanoseconds < 0 ? std::nullopt : std::optional<std::int64_t>(nanoseconds);
}

} // namespace

frame_record record_of(const zorvgst::frame_info& info, const zorvgst::frame_timing* timing) {
    frame_record record;
    record.number = info.number;
    record.written_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(info.written.time_since_epoch())
            .count();
    record.width = info.width;
    record.height = info.height;
    if (timing != nullptr) {
        record.pts_ns = known_time(timing->pts_ns);
        record.duration_ns = known_time(timing->duration_ns);
        record.flags = timing->flags;
    }
    return record;
}

void add_frame_record(py::module_& module) {
    py::class_<frame_record>(module, "FrameInfo",
                             "One frame: its number, when it was written, its size and, for a "
                             "frame of a ring, its timing and flags. Read-only.")
        .def_readonly("number", &frame_record::number,
                      "The buffer's frame count after this frame's publication.")
        .def_readonly("written_ns", &frame_record::written_ns,
                      "When the writer published it, in nanoseconds since the epoch.")
        .def_property_readonly(
            "written",
            [](const frame_record& record) {
                // The package's own conversion: one rule for every time it hands out.
                return py::module_::import("zorvgst").attr("_written")(record.written_ns);
            },
            "When the writer published it, as a datetime in UTC.")
        .def_readonly("width", &frame_record::width)
        .def_readonly("height", &frame_record::height)
        .def_readonly("pts_ns", &frame_record::pts_ns,
                      "CLOCK_MONOTONIC nanoseconds the frame stands for; None on a double buffer "
                      "or where the writer gave none.")
        .def_readonly("duration_ns", &frame_record::duration_ns,
                      "How long the frame stands, in nanoseconds; None where not known.")
        .def_readonly("flags", &frame_record::flags, "The writer's 32 bits of flags (0 if none).")
        .def("__repr__", [](const frame_record& record) {
            return "<zorvgst.FrameInfo " + std::to_string(record.number) + " " +
                   std::to_string(record.width) + "x" + std::to_string(record.height) + ">";
        });
    // What the package needs of a buffer's format to shape and check arrays.
    py::class_<zorvgst::frame_format>(module, "_FrameFormat",
                                      "The format name and size of a buffer's frames. Read-only.")
        .def_readonly("name", &zorvgst::frame_format::name)
        .def_readonly("width", &zorvgst::frame_format::width)
        .def_readonly("height", &zorvgst::frame_format::height);
}

} // namespace zorvpy
