// SPDX-License-Identifier: LGPL-2.1-or-later
// Copy core: moves a packed BGRA frame into a possibly wider destination, whole rows at a time.
#include <cstring>

#include <zorvgst/render.h>

#include "internal/copy_rows.h"
#include "internal/log.h"

void render(const guint8* src, guint8* dst, uint width, uint height, uint x, uint y,
            uint dst_width) {
    const bool single_copy = x == 0 && y == 0 && dst_width == width;
    ZORV_LOG_TRACE("Render " << width << ":" << height << " -> " << x << "," << y << "("
                             << dst_width << ")" << (single_copy ? " -- Single memcpy" : ""));

    // An empty frame may come with null pointers, which memcpy must never see.
    if (width == 0 || height == 0) {
        return;
    }
    // Offsets are computed in size_t so a large destination can never wrap a row onto the
    // wrong place.
    const size_t row_bytes = size_t{width} * 4;
    if (single_copy) {
        std::memcpy(dst, src, row_bytes * height);
        return;
    }
    const size_t dst_stride = size_t{dst_width} * 4;
    zorvgst::detail::copy_rows(dst + size_t{x} * 4 + size_t{y} * dst_stride, dst_stride, src,
                               row_bytes, row_bytes, height);
}
