// SPDX-License-Identifier: LGPL-2.1-or-later
// Blending core: composes an overlay with straight alpha over a base frame into a destination.
#include <zorvgst/render.h>

#include "internal/log.h"
#include "internal/render/blend_kernels.h"

void render_with_overlay(const guint8* base, const guint8* overlay, guint8* dst, uint width,
                         uint height, uint x, uint y, uint dst_width) {
    ZORV_LOG_TRACE("Render " << width << ":" << height << " -> " << x << "," << y << "("
                             << dst_width << ")");
    if (width == 0 || height == 0) {
        return;
    }
    static const zorvgst::detail::blend_row_fn blend_row = zorvgst::detail::best_blend_row();

    const size_t row_bytes = size_t{width} * 4;
    guint8* dst_row = dst + (size_t{y} * dst_width + x) * 4;
    if (x == 0 && dst_width == width) {
        // Contiguous destination rows: one pass keeps narrow frames on the vector path.
        blend_row(base, overlay, dst_row, size_t{width} * height);
        return;
    }
    const size_t dst_stride = size_t{dst_width} * 4;
    for (uint row = 0; row < height; ++row) {
        blend_row(base, overlay, dst_row, width);
        base += row_bytes;
        overlay += row_bytes;
        dst_row += dst_stride;
    }
}
