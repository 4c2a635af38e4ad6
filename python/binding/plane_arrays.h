// SPDX-License-Identifier: LGPL-2.1-or-later
// The numpy arrays a frame format's planes are: their shapes and dtypes, views of a frame's
// planes, and the checks on plane arrays a host hands in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <zorvgst/frame_format.h>

namespace zorvpy {

/// One plane as an array: (rows, columns) when a pixel of the plane is one sample, (rows,
/// columns, channels) otherwise; samples of one or two bytes (uint16 in the format's byte order).
struct plane_shape {
    std::vector<pybind11::ssize_t> dimensions;
    pybind11::dtype dtype;
    std::size_t sample_bytes = 1;
    /// Bytes from one column to the next: channels x sample_bytes.
    std::size_t column_bytes = 1;
    /// Bytes of one row of the array, the plane's whole row of pixels.
    std::size_t row_bytes = 0;
};

/// The default layout of `name` frames of `width` x `height`; ValueError for a name that is no
/// raw video format, or a size outside the library's range.
zorvgst::frame_format format_of(const std::string& name, unsigned width, unsigned height);

/// The arrays of `format`'s planes. Packed formats are (H, W, bytes per pixel) uint8, 16-bit
/// samples uint16; pixels that share their chroma in pairs (YUY2, UYVY) fill every pair, so an
/// odd width counts one more column. Formats without whole bytes per pixel are (rows, bytes per
/// row) uint8.
std::vector<plane_shape> plane_shapes(const zorvgst::frame_format& format);

/// Arrays over the planes of a frame that starts at `data` and is laid out as `format` says,
/// kept alive by `base`; read-only unless `writable`.
pybind11::tuple plane_views(const zorvgst::frame_format& format, const std::uint8_t* data,
                            pybind11::handle base, bool writable);

/// A plane array a host hands in, checked against `shape`: its rows are copied from `data`,
/// `stride` bytes apart. `kept` owns the memory (a contiguous copy when the array's pixels were
/// not packed in rows).
struct plane_source {
    pybind11::array kept;
    const std::uint8_t* data = nullptr;
    std::size_t stride = 0;
};

/// What a host's plane arrays are for: the frame to publish, or the arrays a frame is copied into
/// (read's `out`), which must also be writable.
enum class plane_use { source, destination };

/// `planes` as the arrays of a `format` frame: one array for a single plane, a tuple or list of
/// them otherwise. Raises TypeError for anything but arrays, ValueError for another shape or a
/// read-only destination; another dtype or count of planes is a TypeError for a source and a
/// ValueError for a destination.
std::vector<pybind11::array> checked_planes(pybind11::handle planes,
                                            const zorvgst::frame_format& format, plane_use use);

/// The planes of `format` as `planes`, checked as a source.
std::vector<plane_source> frame_sources(pybind11::handle planes,
                                        const zorvgst::frame_format& format);

} // namespace zorvpy
