// SPDX-License-Identifier: LGPL-2.1-or-later
// The module's writer: frames copied from numpy arrays, or drawn in place in the write slot;
// frame rings of any format, with timestamps and metadata.
#include <cstring>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <zorvgst/frames.h>

#include "frame_arrays.h"
#include "frame_record.h"
#include "module_parts.h"
#include "plane_arrays.h"
#include "src/internal/copy_rows.h"

namespace py = pybind11;

namespace zorvpy {

namespace {

void check_metadata(const zorvgst::frame_writer& writer, const std::string& metadata) {
    if (metadata.size() > writer.metadata_capacity()) {
        throw py::value_error("metadata of " + std::to_string(metadata.size()) +
                              " bytes does not fit the " +
                              std::to_string(writer.metadata_capacity()) + " bytes a frame of " +
                              writer.name() + " carries");
    }
}

/// Publishes the frame in the write slot with `metadata`, which check_metadata() let through.
/// A ring frame without a pts is stamped here rather than by the writer, so that `timing` says
/// what readers will see.
zorvgst::frame_info publish_with(zorvgst::frame_writer& writer, zorvgst::frame_timing& timing,
                                 const std::string& metadata) {
    if (timing.pts_ns < 0 && writer.layout() == zorvgst::buffer_layout::frame_ring) {
        timing.pts_ns = zorvgst::monotonic_now_ns();
    }
    if (!metadata.empty()) {
        std::memcpy(writer.metadata(), metadata.data(), metadata.size());
    }
    return writer.publish(timing, metadata.size());
}

} // namespace

void add_writer(py::module_& module) {
    py::class_<zorvgst::frame_writer>(module, "_Writer", "The frame API's writer.")
        .def(py::init([](const std::string& name, unsigned width, unsigned height,
                         const std::string& backend) {
                 return std::make_unique<zorvgst::frame_writer>(name, width, height,
                                                                backend_from_text(backend));
             }),
             py::arg("name"), py::arg("width"), py::arg("height"), py::arg("backend") = "posix")
        .def_static(
            "ring",
            [](const std::string& name, const std::string& format, unsigned width, unsigned height,
               unsigned readers, unsigned leases_per_reader, std::size_t metadata_bytes) {
                zorvgst::ring_options options;
                options.readers = readers;
                options.leases_per_reader = leases_per_reader;
                options.metadata_bytes = metadata_bytes;
                return std::make_unique<zorvgst::frame_writer>(
                    name, format_of(format, width, height), options);
            },
            py::arg("name"), py::arg("format"), py::arg("width"), py::arg("height"),
            py::arg("readers"), py::arg("leases_per_reader"), py::arg("metadata_bytes"),
            "A writer of a new frame ring of `format` frames.")
        .def(
            "write_planes",
            [](zorvgst::frame_writer& writer, py::handle planes, std::int64_t pts_ns,
               std::int64_t duration_ns, std::uint32_t flags, const std::string& metadata) {
                const zorvgst::frame_format& format = writer.format();
                const std::vector<plane_source> sources = frame_sources(planes, format);
                check_metadata(writer, metadata);
                zorvgst::frame_timing timing{pts_ns, duration_ns, flags};
                zorvgst::frame_info info;
                {
                    const py::gil_scoped_release unlocked;
                    std::uint8_t* slot = writer.frame();
                    for (unsigned index = 0; index < format.planes; ++index) {
                        const zorvgst::plane_layout& plane = format.plane[index];
                        zorvgst::detail::copy_rows(slot + plane.offset, plane.stride,
                                                   sources[index].data, sources[index].stride,
                                                   format.row_bytes(index),
                                                   format.plane_height(index));
                    }
                    info = publish_with(writer, timing, metadata);
                }
                return record_of(info, &timing);
            },
            py::arg("planes"), py::arg("pts_ns"), py::arg("duration_ns"), py::arg("flags"),
            py::arg("metadata"),
            "Copies each plane of a frame (one array, or a tuple of them) and publishes it with "
            "its timing and metadata; returns its info. Raises TypeError or ValueError for "
            "arrays that are no such frame.")
        .def(
            "slot_planes",
            [](py::object self) {
                auto& writer = self.cast<zorvgst::frame_writer&>();
                // The arrays keep the writer object alive; the slot itself lasts until the next
                // publication.
                return plane_views(writer.format(), writer.frame(), self, true);
            },
            "The slot the next publication makes current, as a writable array per plane.")
        .def(
            "publish_frame",
            [](zorvgst::frame_writer& writer, std::int64_t pts_ns, std::int64_t duration_ns,
               std::uint32_t flags, const std::string& metadata) {
                check_metadata(writer, metadata);
                zorvgst::frame_timing timing{pts_ns, duration_ns, flags};
                zorvgst::frame_info info;
                {
                    const py::gil_scoped_release unlocked;
                    info = publish_with(writer, timing, metadata);
                }
                return record_of(info, &timing);
            },
            py::arg("pts_ns"), py::arg("duration_ns"), py::arg("flags"), py::arg("metadata"))
        .def(
            "write",
            [](zorvgst::frame_writer& writer, py::handle pixels) {
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
                return record_of(info);
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
        .def("publish", [](zorvgst::frame_writer& writer) { return record_of(writer.publish()); })
        .def("resize", &zorvgst::frame_writer::resize, py::arg("width"), py::arg("height"))
        .def_property_readonly("width", &zorvgst::frame_writer::width)
        .def_property_readonly("height", &zorvgst::frame_writer::height)
        .def_property_readonly("name", &zorvgst::frame_writer::name)
        .def_property_readonly(
            "format", [](const zorvgst::frame_writer& writer) { return writer.format().name; })
        .def_property_readonly(
            "layout",
            [](const zorvgst::frame_writer& writer) { return layout_text(writer.layout()); })
        .def_property_readonly("metadata_capacity", &zorvgst::frame_writer::metadata_capacity)
        .def_property_readonly("backend", [](const zorvgst::frame_writer& writer) {
            return zorvgst::backend_name(writer.kind());
        });
}

} // namespace zorvpy
