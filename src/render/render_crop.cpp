// SPDX-License-Identifier: LGPL-2.1-or-later
// Cropping core: copies the inner rectangle of a packed BGRA frame, whole rows at a time.
#include <cstring>
#include <sstream>

#include <zorvgst/render.h>

#include "internal/copy_rows.h"
#include "internal/log.h"

void render_with_cropping(const guint8* src, guint8* dst, uint width, uint height, uint x, uint y,
                          uint dst_width, uint left, uint right, uint top, uint bottom) {
    // Sums in 64 bits: margins that wrap around in 32 bits must not pass for valid ones.
    if (uint64_t{left} + right > width || uint64_t{top} + bottom > height) {
        // Composed even when error is disabled: a bad crop is rare and the text is kept ready.
        std::ostringstream message;
        message << "Render Halted -- Invalid Crop Parameters: "
                << "(" << width << "," << left << "," << right << ") "
                << "(" << height << "," << top << "," << bottom << ") ";
        ZORV_LOG_ERROR(message.str());
        return;
    }

    const bool single_copy = dst_width == width && x == 0 && y == 0 && left == 0 && right == 0 &&
                             top == 0 && bottom == 0;
    ZORV_LOG_TRACE("Render with Cropping " << width << ":" << height << " -> " << x << "," << y
                                           << "(" << dst_width << ")"
                                           << (single_copy ? " -- Single memcpy" : ""));
    const uint rows = height - top - bottom;
    const uint columns = width - left - right;
    // Nothing to copy: an empty frame may come with null pointers, which memcpy must never see.
    if (rows == 0 || columns == 0) {
        return;
    }
    if (single_copy) {
        std::memcpy(dst, src, size_t{width} * height * 4);
        return;
    }

    const size_t row_bytes = size_t{columns} * 4;
    const size_t src_stride = size_t{width} * 4;
    const size_t dst_stride = size_t{dst_width} * 4;
    zorvgst::detail::copy_rows(dst + (size_t{y} * dst_width + x) * 4, dst_stride,
                               src + (size_t{top} * width + left) * 4, src_stride, row_bytes, rows);
}
