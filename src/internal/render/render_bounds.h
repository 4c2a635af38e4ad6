// SPDX-License-Identifier: LGPL-2.1-or-later
// Bounds of frame rectangles against memory of known size, for the rendering adapters.
#pragma once

#include <cstdint>
#include <string>

#include <sys/types.h>

namespace zorvgst::detail {

using wide_t = unsigned __int128; // products of three 32/64-bit factors cannot wrap in it

/// Bytes a packed BGRA frame of width x height pixels occupies.
inline wide_t frame_bytes(std::uint64_t width, std::uint64_t height) {
    return wide_t{width} * height * 4;
}

/// Whether a width x height frame fits in `available` bytes.
inline bool frame_fits(std::uint64_t width, std::uint64_t height, wide_t available) {
    return frame_bytes(width, height) <= available;
}

/// Whether a width x height rectangle placed at (x, y) of a destination with rows of dst_width
/// pixels stays inside its rows and inside `available` bytes. An empty rectangle always fits.
inline bool rectangle_fits(uint width, uint height, uint x, uint y, uint dst_width,
                           wide_t available) {
    if (width == 0 || height == 0) {
        return true;
    }
    if (std::uint64_t{x} + width > dst_width) {
        return false;
    }
    const wide_t end = ((wide_t{y} + height - 1) * dst_width + x + width) * 4;
    return end <= available;
}

/// The rectangle a crop keeps, when the margins are valid.
inline bool crop_is_valid(uint width, uint height, uint left, uint right, uint top, uint bottom) {
    return std::uint64_t{left} + right <= width && std::uint64_t{top} + bottom <= height;
}

/// "W:H -> x,y(dst_width)", the placement as the trace lines write it.
inline std::string describe_placement(uint width, uint height, uint x, uint y, uint dst_width) {
    return std::to_string(width) + ":" + std::to_string(height) + " -> " + std::to_string(x) + "," +
           std::to_string(y) + "(" + std::to_string(dst_width) + ")";
}

} // namespace zorvgst::detail
