// SPDX-License-Identifier: LGPL-2.1-or-later
// Copies between double buffers, raw memory, GStreamer samples and buffers, bracketed by the
// double buffer's grab and release.
#include <zorvgst/double_buffer.h>
#include <zorvgst/render.h>

#include "internal/log.h"
#include "internal/render/gst_frame_memory.h"
#include "internal/render/placement_check.h"
#include "internal/render/render_bounds.h"
#include "internal/render/shared_read.h"

// The checks and copies every rendering function shares.
using namespace zorvgst::detail;

void render(double_buffer_t& src, guint8* dst, uint width, uint height, uint x, uint y,
            uint dst_width) {
    const guint8* frame = begin_frame_read(src, width, height, ZORV_LOG_LOCATION);
    if (frame == nullptr) {
        return;
    }
    if (!copy_from_shared_memory([&] { render(frame, dst, width, height, x, y, dst_width); },
                                 src)) {
        return;
    }
    src.release_read_sem();
}

void render(const guint8* src, double_buffer_t& dst, uint width, uint height, uint x, uint y,
            uint dst_width) {
    if (!dst.is_valid()) {
        return;
    }
    if (!placement_fits_frame(width, height, x, y, dst_width, dst, ZORV_LOG_LOCATION)) {
        return;
    }
    dst.grab_write_sem();
    render(src, dst.get_write_address(), width, height, x, y, dst_width);
    dst.release_write_sem();
}

void render(double_buffer_t& src, GstBuffer* dst, uint width, uint height, uint x, uint y,
            uint dst_width) {
    if (!src.is_valid()) {
        return;
    }
    frame_memory memory;
    if (!map_render_target(dst, memory, ZORV_LOG_LOCATION)) {
        return;
    }
    if (!placement_fits_memory(width, height, x, y, dst_width, memory.size(), ZORV_LOG_LOCATION)) {
        return;
    }
    // The inner render grabs and releases the read side once more, inside this bracket. A handle
    // it let go of (the buffer changed size) has nothing left to release.
    src.grab_read_sem();
    render(src, memory.data(), width, height, x, y, dst_width);
    if (src.confirm_layout()) {
        src.release_read_sem();
    }
    memory.unmap();
    memory.unref();
}

void render(GstSample* sample, double_buffer_t& dst, uint x, uint y, uint dst_width) {
    if (!dst.is_valid()) {
        return;
    }
    const zorvgst::detail::sample_frame frame = zorvgst::detail::describe_sample(sample);
    if (!frame.has_buffer_and_caps) {
        ZORV_LOG_ERROR("render() -- Sample Without Buffer or Caps -- Not Writing to Buffer");
        return;
    }
    if (!frame.has_size) {
        ZORV_LOG_ERROR("render() -- Sample Caps Without Valid Width and Height -- Not Writing "
                       "to Buffer");
        return;
    }
    frame_memory memory(frame.buffer, GST_MAP_READ);
    if (!memory.mapped()) {
        memory.unref();
        ZORV_LOG_ERROR("gst_memory_map() Failed -- Not Writing to Buffer");
        return;
    }
    if (!frame_fits(frame.width, frame.height, memory.size())) {
        ZORV_LOG_ERROR("render() -- Sample of Size: " << memory.size() << " Too Small for Width: "
                                                      << frame.width << " Height: " << frame.height
                                                      << " -- Not Writing to Buffer");
        return;
    }
    ZORV_LOG_DEBUG("render() -- Width: " << frame.width << " Height: " << frame.height);
    render(memory.data(), dst, static_cast<uint>(frame.width), static_cast<uint>(frame.height), x,
           y, dst_width);
    memory.unmap();
    memory.unref();
}
