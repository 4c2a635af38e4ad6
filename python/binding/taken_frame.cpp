// SPDX-License-Identifier: LGPL-2.1-or-later
// Frames taken from a frame ring, as the Python objects their plane arrays keep alive.
#include "taken_frame.h"

#include "frame_arrays.h"
#include "frame_record.h"
#include "module_parts.h"
#include "plane_arrays.h"

namespace py = pybind11;

namespace zorvpy {

namespace {

/// A time of frame_timing, None where the writer gave none.
py::object known_time(std::int64_t nanoseconds) {
    return nanoseconds < 0 ? py::object(py::none()) : py::object(py::int_(nanoseconds));
}

} // namespace

std::shared_ptr<taken_frame> take_lease(zorvgst::frame_lease lease) {
    auto frame = std::make_shared<taken_frame>();
    frame->format = lease.format();
    frame->info = lease.info();
    frame->timing = lease.timing();
    frame->metadata.assign(reinterpret_cast<const char*>(lease.metadata()), lease.metadata_size());
    frame->lease = std::move(lease);
    return frame;
}

void add_taken_frame(py::module_& module) {
    py::class_<taken_frame, std::shared_ptr<taken_frame>>(
        module, "_TakenFrame", "A frame taken from a buffer: held under a lease, or copied.")
        .def(
            "planes",
            [](const std::shared_ptr<taken_frame>& frame, bool writable) {
                // A held slot is mapped read-only: only a copy may be written to.
                return plane_views(frame->format, frame->data(), py::cast(frame),
                                   writable && !frame->lease);
            },
            py::arg("writable") = false,
            "An array over each plane; they keep the frame, and so its lease, alive.")
        .def_property_readonly(
            "info", [](const taken_frame& frame) { return record_of(frame.info, &frame.timing); })
        .def_property_readonly("format", [](const taken_frame& frame) { return frame.format.name; })
        .def_readonly("frame_format", &taken_frame::format, "The _FrameFormat of its planes.")
        .def_property_readonly(
            "leased", [](const taken_frame& frame) { return static_cast<bool>(frame.lease); })
        .def_property_readonly(
            "pts_ns", [](const taken_frame& frame) { return known_time(frame.timing.pts_ns); })
        .def_property_readonly(
            "duration_ns",
            [](const taken_frame& frame) { return known_time(frame.timing.duration_ns); })
        .def_property_readonly("flags", [](const taken_frame& frame) { return frame.timing.flags; })
        .def_property_readonly("metadata",
                               [](const taken_frame& frame) { return py::bytes(frame.metadata); });
}

} // namespace zorvpy
