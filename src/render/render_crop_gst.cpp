// SPDX-License-Identifier: LGPL-2.1-or-later
// Cropping between double buffers, raw memory and GStreamer buffers.
#include <zorvgst/double_buffer.h>
#include <zorvgst/render.h>

#include "internal/log.h"
#include "internal/render/gst_frame_memory.h"
#include "internal/render/placement_check.h"
#include "internal/render/render_bounds.h"
#include "internal/render/shared_read.h"

// The checks and copies every rendering function shares.
using namespace zorvgst::detail;

void render_with_cropping(double_buffer_t& src, guint8* dst, uint width, uint height, uint x,
                          uint y, uint dst_width, uint left, uint right, uint top, uint bottom) {
    const guint8* frame = begin_frame_read(src, width, height, ZORV_LOG_LOCATION);
    if (frame == nullptr) {
        return;
    }
    if (!copy_from_shared_memory(
            [&] {
                render_with_cropping(frame, dst, width, height, x, y, dst_width, left, right, top,
                                     bottom);
            },
            src)) {
        return;
    }
    src.release_read_sem();
}

void render_with_cropping(double_buffer_t& src, GstBuffer* dst, uint width, uint height, uint x,
                          uint y, uint dst_width, uint left, uint right, uint top, uint bottom) {
    if (!src.is_valid() || !src.confirm_layout()) {
        return;
    }
    frame_memory memory;
    if (!map_render_target(dst, memory, ZORV_LOG_LOCATION)) {
        return;
    }
    if (!source_holds(src, width, height, ZORV_LOG_LOCATION)) {
        return;
    }
    // Invalid margins are left to the core, which reports them and copies nothing.
    if (crop_is_valid(width, height, left, right, top, bottom)) {
        const uint kept_width = width - left - right;
        const uint kept_height = height - top - bottom;
        if (!placement_fits_memory(kept_width, kept_height, x, y, dst_width, memory.size(),
                                   ZORV_LOG_LOCATION)) {
            return;
        }
    }
    src.grab_read_sem();
    const guint8* frame = src.get_read_address();
    const bool copied = copy_from_shared_memory(
        [&] {
            render_with_cropping(frame, memory.data(), width, height, x, y, dst_width, left, right,
                                 top, bottom);
        },
        src);
    if (copied) {
        src.release_read_sem();
    }
    memory.unmap();
    memory.unref();
}

void render_with_cropping(const guint8* src, double_buffer_t& dst, uint width, uint height, uint x,
                          uint y, uint dst_width, uint left, uint right, uint top, uint bottom) {
    if (!dst.is_valid()) {
        return;
    }
    if (!crop_is_valid(width, height, left, right, top, bottom)) {
        // The core reports the margins. Publishing would hand readers the stale frame left in
        // the write slot, so nothing is grabbed or published.
        render_with_cropping(src, static_cast<guint8*>(nullptr), width, height, x, y, dst_width,
                             left, right, top, bottom);
        return;
    }
    const uint kept_width = width - left - right;
    const uint kept_height = height - top - bottom;
    if (!placement_fits_frame(kept_width, kept_height, x, y, dst_width, dst, ZORV_LOG_LOCATION)) {
        return;
    }
    dst.grab_write_sem();
    render_with_cropping(src, dst.get_write_address(), width, height, x, y, dst_width, left, right,
                         top, bottom);
    dst.release_write_sem();
}
