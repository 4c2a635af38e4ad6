// SPDX-License-Identifier: LGPL-2.1-or-later
// The rendering functions' refusal of a rectangle that would reach past its destination.
#pragma once

#include <zorvgst/double_buffer.h>

#include "internal/log.h"
#include "internal/render/render_bounds.h"

namespace zorvgst::detail {

/// Whether the placed rectangle fits in `available` bytes of memory; otherwise says so at
/// `where`, the rendering function's place.
inline bool placement_fits_memory(uint width, uint height, uint x, uint y, uint dst_width,
                                  std::size_t available,
                                  const ::log4cxx::spi::LocationInfo& where) {
    if (rectangle_fits(width, height, x, y, dst_width, available)) {
        return true;
    }
    ZORV_LOG_ERROR_AT(where, "Render Halted -- "
                                 << describe_placement(width, height, x, y, dst_width)
                                 << " Outside Buffer of Size: " << available);
    return false;
}

/// Whether the placed rectangle fits in a frame of the double buffer `dst`; otherwise says so at
/// `where`.
inline bool placement_fits_frame(uint width, uint height, uint x, uint y, uint dst_width,
                                 const double_buffer_t& dst,
                                 const ::log4cxx::spi::LocationInfo& where) {
    if (rectangle_fits(width, height, x, y, dst_width,
                       frame_bytes(dst.get_width(), dst.get_height()))) {
        return true;
    }
    ZORV_LOG_ERROR_AT(where, "Render Halted -- "
                                 << describe_placement(width, height, x, y, dst_width)
                                 << " Outside Double Buffer " << dst.get_name() << " of "
                                 << dst.get_width() << ":" << dst.get_height());
    return false;
}

} // namespace zorvgst::detail
