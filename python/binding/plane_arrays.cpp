// SPDX-License-Identifier: LGPL-2.1-or-later
// Plane arrays of any raw format, shaped from GStreamer's description of its samples.
#include "plane_arrays.h"
#include <string>

#include <gst/video/video.h>
#include <pybind11/stl.h>

#include "module_parts.h"

namespace py = pybind11;

namespace zorvpy {

namespace {

std::string text_of(const std::vector<py::ssize_t>& dimensions) {
    return py::str(py::tuple(py::cast(dimensions))).cast<std::string>();
}

std::string dtype_text(const py::dtype& dtype) {
    return py::str(static_cast<const py::object&>(dtype)).cast<std::string>();
}

std::string frame_text(const zorvgst::frame_format& format) {
    return std::to_string(format.width) + "x" + std::to_string(format.height) + " " + format.name +
           " frame";
}

/// "plane 1 of a 9x5 NV12 frame", or "a 9x5 GRAY8 frame" when the frame has one plane.
std::string plane_text(const zorvgst::frame_format& format, unsigned index) {
    if (format.planes == 1) {
        return "a " + frame_text(format);
    }
    return "plane " + std::to_string(index) + " of a " + frame_text(format);
}

plane_shape bytes_per_row(std::size_t rows, std::size_t row_bytes) {
    plane_shape shape;
    shape.dimensions = {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(row_bytes)};
    shape.dtype = py::dtype::of<std::uint8_t>();
    shape.row_bytes = row_bytes;
    return shape;
}

plane_shape shape_of_plane(const zorvgst::frame_format& format, const GstVideoFormatInfo& info,
                           unsigned index) {
    const std::size_t rows = format.plane_height(index);
    const std::size_t row_bytes = format.row_bytes(index);
    // A column is the plane's smallest pixel step: a chroma pair of NV12, one pixel of YUY2
    // (whose U and V steps are twice as long).
    std::size_t column_bytes = 0;
    bool wide_samples = true;
    for (unsigned component = 0; component < GST_VIDEO_FORMAT_INFO_N_COMPONENTS(&info);
         ++component) {
        const int pixel_stride = GST_VIDEO_FORMAT_INFO_PSTRIDE(&info, component);
        if (GST_VIDEO_FORMAT_INFO_PLANE(&info, component) != index || pixel_stride <= 0) {
            continue;
        }
        if (column_bytes == 0 || static_cast<std::size_t>(pixel_stride) < column_bytes) {
            column_bytes = static_cast<std::size_t>(pixel_stride);
        }
        const unsigned depth = GST_VIDEO_FORMAT_INFO_DEPTH(&info, component);
        wide_samples = wide_samples && depth > 8 && depth <= 16;
    }
    if (column_bytes == 0 || row_bytes % column_bytes != 0) {
        return bytes_per_row(rows, row_bytes); // samples packed across bytes (v210, ...)
    }
    plane_shape shape;
    shape.sample_bytes = wide_samples && column_bytes % 2 == 0 ? 2 : 1;
    shape.column_bytes = column_bytes;
    shape.row_bytes = row_bytes;
    if (shape.sample_bytes == 2) {
        shape.dtype = py::dtype(GST_VIDEO_FORMAT_INFO_IS_LE(&info) ? "<u2" : ">u2");
    } else {
        shape.dtype = py::dtype::of<std::uint8_t>();
    }
    const auto columns = static_cast<py::ssize_t>(row_bytes / column_bytes);
    const auto channels = static_cast<py::ssize_t>(column_bytes / shape.sample_bytes);
    shape.dimensions = {static_cast<py::ssize_t>(rows), columns};
    if (channels > 1) {
        shape.dimensions.push_back(channels);
    }
    return shape;
}

/// Element steps of `shape` over rows `stride` bytes apart.
std::vector<py::ssize_t> steps_of(const plane_shape& shape, std::size_t stride) {
    std::vector<py::ssize_t> steps = {static_cast<py::ssize_t>(stride),
                                      static_cast<py::ssize_t>(shape.column_bytes)};
    if (shape.dimensions.size() == 3) {
        steps.push_back(static_cast<py::ssize_t>(shape.sample_bytes));
    }
    return steps;
}

/// Whether the library can copy rows of `array` as they lie: samples packed in each row, rows
/// apart without overlapping.
bool rows_packed(const py::array& array, const plane_shape& shape) {
    const py::ssize_t rows = array.shape(0);
    if (array.strides(1) != static_cast<py::ssize_t>(shape.column_bytes)) {
        return false;
    }
    if (array.ndim() == 3 && array.strides(2) != static_cast<py::ssize_t>(shape.sample_bytes)) {
        return false;
    }
    return rows == 1 || array.strides(0) >= static_cast<py::ssize_t>(shape.row_bytes);
}

} // namespace

zorvgst::frame_format format_of(const std::string& name, unsigned width, unsigned height) {
    // Refused with invalid_format: InvalidFormatError, a ValueError.
    return zorvgst::frame_format::of(name, width, height);
}

std::vector<plane_shape> plane_shapes(const zorvgst::frame_format& format) {
    const GstVideoFormatInfo* info =
        gst_video_format_get_info(gst_video_format_from_string(format.name.c_str()));
    std::vector<plane_shape> shapes;
    for (unsigned index = 0; index < format.planes; ++index) {
        shapes.push_back(info != nullptr
                             ? shape_of_plane(format, *info, index)
                             : bytes_per_row(format.plane_height(index), format.row_bytes(index)));
    }
    return shapes;
}

py::tuple plane_views(const zorvgst::frame_format& format, const std::uint8_t* data,
                      py::handle base, bool writable) {
    const std::vector<plane_shape> shapes = plane_shapes(format);
    py::tuple views(shapes.size());
    for (std::size_t index = 0; index < shapes.size(); ++index) {
        const plane_shape& shape = shapes[index];
        const zorvgst::plane_layout& plane = format.plane[index];
        py::array view(shape.dtype, shape.dimensions, steps_of(shape, plane.stride),
                       data + plane.offset, base);
        if (!writable) {
            py::detail::array_proxy(view.ptr())->flags &=
                ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
        }
        views[index] = std::move(view);
    }
    return views;
}

namespace {

py::array checked_plane(py::handle given, const zorvgst::frame_format& format, unsigned index,
                        const plane_shape& shape, plane_use use) {
    if (!py::isinstance<py::array>(given)) {
        throw py::type_error(plane_text(format, index) + " is a numpy array, not " +
                             std::string(py::str(given.get_type().attr("__name__"))));
    }
    auto array = py::reinterpret_borrow<py::array>(given);
    if (!array.dtype().equal(shape.dtype)) {
        const std::string message = plane_text(format, index) + " is an array of " +
                                    dtype_text(shape.dtype) + ", not " + dtype_text(array.dtype());
        // An array that cannot take the frame is a wrong value for `out`, as with BGRA frames.
        if (use == plane_use::destination) {
            throw py::value_error(message);
        }
        throw py::type_error(message);
    }
    const std::vector<py::ssize_t> dimensions(array.shape(), array.shape() + array.ndim());
    if (dimensions != shape.dimensions) {
        throw py::value_error(plane_text(format, index) + " is an array of shape " +
                              text_of(shape.dimensions) + ", not " + text_of(dimensions));
    }
    if (use == plane_use::destination && !array.writeable()) {
        throw py::value_error(plane_text(format, index) + " is a read-only array");
    }
    return array;
}

} // namespace

std::vector<py::array> checked_planes(py::handle planes, const zorvgst::frame_format& format,
                                      plane_use use) {
    const std::vector<plane_shape> shapes = plane_shapes(format);
    std::vector<py::array> arrays;
    if (format.planes == 1) {
        arrays.push_back(checked_plane(planes, format, 0, shapes[0], use));
        return arrays;
    }
    const bool sequence = py::isinstance<py::tuple>(planes) || py::isinstance<py::list>(planes);
    if (!sequence || py::len(planes) != format.planes) {
        const std::string message =
            "a " + frame_text(format) + " is a tuple of " + std::to_string(format.planes) +
            " plane arrays, not " +
            (sequence ? "one of " + std::to_string(py::len(planes))
                      : std::string(py::str(planes.get_type().attr("__name__"))));
        if (use == plane_use::destination && (sequence || py::isinstance<py::array>(planes))) {
            throw py::value_error(message);
        }
        throw py::type_error(message);
    }
    const auto items = py::reinterpret_borrow<py::sequence>(planes);
    for (unsigned index = 0; index < format.planes; ++index) {
        arrays.push_back(checked_plane(items[index], format, index, shapes[index], use));
    }
    return arrays;
}

std::vector<plane_source> frame_sources(py::handle planes, const zorvgst::frame_format& format) {
    const std::vector<plane_shape> shapes = plane_shapes(format);
    std::vector<plane_source> sources;
    std::vector<py::array> arrays = checked_planes(planes, format, plane_use::source);
    for (std::size_t index = 0; index < arrays.size(); ++index) {
        py::array array = std::move(arrays[index]);
        if (!rows_packed(array, shapes[index])) {
            array = py::module_::import("numpy").attr("ascontiguousarray")(array);
        }
        plane_source source;
        source.data = static_cast<const std::uint8_t*>(array.data());
        source.stride = array.shape(0) > 1 ? static_cast<std::size_t>(array.strides(0))
                                           : shapes[index].row_bytes;
        source.kept = std::move(array);
        sources.push_back(std::move(source));
    }
    return sources;
}

void add_plane_arrays(py::module_& module) {
    module.def(
        "_plane_shapes",
        [](const std::string& name, unsigned width, unsigned height) {
            py::list planes;
            for (const plane_shape& shape : plane_shapes(format_of(name, width, height))) {
                planes.append(py::make_tuple(py::tuple(py::cast(shape.dimensions)), shape.dtype));
            }
            return planes;
        },
        py::arg("format"), py::arg("width"), py::arg("height"),
        "(shape, dtype) of each plane of a frame of `format`.");
    module.def(
        "_check_out",
        [](py::handle out, const zorvgst::frame_format& format) {
            checked_planes(out, format, plane_use::destination);
        },
        py::arg("out"), py::arg("format"),
        "Raises TypeError or ValueError unless `out` is a writable array (a tuple of them for "
        "several planes) that a frame of the _FrameFormat `format` is copied into.");
}

} // namespace zorvpy
