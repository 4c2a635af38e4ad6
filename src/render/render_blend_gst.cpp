// SPDX-License-Identifier: LGPL-2.1-or-later
// Overlay blending between double buffers, raw memory, GStreamer samples and buffers.
#include <zorvgst/double_buffer.h>
#include <zorvgst/render.h>

#include "internal/log.h"
#include "internal/render/gst_frame_memory.h"
#include "internal/render/placement_check.h"
#include "internal/render/render_bounds.h"
#include "internal/render/shared_read.h"

// The checks and copies every rendering function shares.
using namespace zorvgst::detail;

namespace {

/// Whether both double buffers' slots hold a width x height frame; says otherwise at `where`.
bool sources_fit(double_buffer_t& base, double_buffer_t& overlay, uint width, uint height,
                 const log4cxx::spi::LocationInfo& where) {
    if (frame_fits(width, height, frame_bytes(base.get_width(), base.get_height())) &&
        frame_fits(width, height, frame_bytes(overlay.get_width(), overlay.get_height()))) {
        return true;
    }
    ZORV_LOG_ERROR_AT(where, "Render Halted -- Frame "
                                 << width << ":" << height << " Larger Than Double Buffer "
                                 << base.get_name() << " or " << overlay.get_name());
    return false;
}

} // namespace

void render_with_overlay(double_buffer_t& base, double_buffer_t& overlay, guint8* dst, uint width,
                         uint height, uint x, uint y, uint dst_width) {
    if (!base.is_valid() || !overlay.is_valid() || !base.confirm_layout() ||
        !overlay.confirm_layout()) {
        return;
    }
    if (!sources_fit(base, overlay, width, height, ZORV_LOG_LOCATION)) {
        return;
    }
    // Only the base is bracketed: the overlay is read without a grab of its own.
    base.grab_read_sem();
    const guint8* overlay_frame = overlay.get_read_address();
    const guint8* base_frame = base.get_read_address();
    if (!copy_from_shared_memory(
            [&] {
                render_with_overlay(base_frame, overlay_frame, dst, width, height, x, y, dst_width);
            },
            base, overlay)) {
        return;
    }
    base.release_read_sem();
}

void render_with_overlay(const guint8* base, const guint8* overlay, double_buffer_t& dst,
                         uint width, uint height, uint x, uint y, uint dst_width) {
    // The grab is the validity test here: an invalid destination throws to the caller.
    dst.grab_write_sem();
    if (!placement_fits_frame(width, height, x, y, dst_width, dst, ZORV_LOG_LOCATION)) {
        // A grab holds nothing, so leaving without the release publishes nothing.
        return;
    }
    render_with_overlay(base, overlay, dst.get_write_address(), width, height, x, y, dst_width);
    dst.release_write_sem();
}

void render_with_overlay(double_buffer_t& base, double_buffer_t& overlay, GstBuffer* dst,
                         uint width, uint height, uint x, uint y, uint dst_width) {
    if (!base.is_valid() || !overlay.is_valid() || !base.confirm_layout() ||
        !overlay.confirm_layout()) {
        return;
    }
    frame_memory memory;
    if (!map_render_target(dst, memory, ZORV_LOG_LOCATION)) {
        return;
    }
    if (!sources_fit(base, overlay, width, height, ZORV_LOG_LOCATION)) {
        return;
    }
    if (!placement_fits_memory(width, height, x, y, dst_width, memory.size(), ZORV_LOG_LOCATION)) {
        return;
    }
    base.grab_read_sem();
    const guint8* overlay_frame = overlay.get_read_address();
    const guint8* base_frame = base.get_read_address();
    const bool copied = copy_from_shared_memory(
        [&] {
            render_with_overlay(base_frame, overlay_frame, memory.data(), width, height, x, y,
                                dst_width);
        },
        base, overlay);
    if (copied) {
        base.release_read_sem();
    }
    memory.unmap();
    memory.unref();
}

void render_with_overlay(GstSample* base, GstSample* overlay, double_buffer_t& dst, uint x, uint y,
                         uint dst_width) {
    const zorvgst::detail::sample_frame base_frame = zorvgst::detail::describe_sample(base);
    // Only the base caps give the size; the overlay frame must have the same.
    GstBuffer* overlay_buffer = overlay != nullptr ? gst_sample_get_buffer(overlay) : nullptr;
    if (!base_frame.has_buffer_and_caps || overlay_buffer == nullptr) {
        ZORV_LOG_ERROR("render() -- Sample Without Buffer or Caps -- Not Writing to Buffer");
        return;
    }
    if (!base_frame.has_size) {
        ZORV_LOG_ERROR("render() -- Sample Caps Without Valid Width and Height -- Not Writing "
                       "to Buffer");
        return;
    }
    frame_memory base_memory(base_frame.buffer, GST_MAP_READ);
    frame_memory overlay_memory(base_memory.mapped() ? overlay_buffer : nullptr, GST_MAP_READ);
    if (!base_memory.mapped() || !overlay_memory.mapped()) {
        base_memory.unref();
        overlay_memory.unref();
        ZORV_LOG_ERROR("gst_memory_map() Failed -- Not Writing to Buffer");
        return;
    }
    const gsize smaller = std::min(base_memory.size(), overlay_memory.size());
    if (!frame_fits(base_frame.width, base_frame.height, smaller)) {
        ZORV_LOG_ERROR("render() -- Sample of Size: "
                       << smaller << " Too Small for Width: " << base_frame.width
                       << " Height: " << base_frame.height << " -- Not Writing to Buffer");
        return;
    }
    ZORV_LOG_DEBUG("render() -- Width: " << base_frame.width << " Height: " << base_frame.height);
    // A throwing grab still unmaps and releases both memories on the way out.
    render_with_overlay(base_memory.data(), overlay_memory.data(), dst,
                        static_cast<uint>(base_frame.width), static_cast<uint>(base_frame.height),
                        x, y, dst_width);
    base_memory.unmap();
    overlay_memory.unmap();
    base_memory.unref();
    overlay_memory.unref();
}
