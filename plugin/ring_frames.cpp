// SPDX-License-Identifier: LGPL-2.1-or-later
// Leased slots wrapped as read-only memory, copies from a pool, and the metas both carry.
#include "ring_frames.h"
#include <stdexcept>

#include "frame_meta.h"

namespace zorvplugin {

namespace {

void end_lease(gpointer lease) {
    delete static_cast<zorvgst::frame_lease*>(lease);
}

} // namespace

ring_frames_t::~ring_frames_t() {
    reset();
}

void ring_frames_t::reset() {
    if (pool_ != nullptr) {
        gst_buffer_pool_set_active(pool_, FALSE);
        gst_object_unref(pool_);
        pool_ = nullptr;
    }
    format_ = zorvgst::frame_format();
    video_format_ = GST_VIDEO_FORMAT_UNKNOWN;
}

void ring_frames_t::expect(const zorvgst::frame_format& format, GstCaps* caps) {
    reset();
    format_ = format;
    video_format_ = gst_video_format_from_string(format.name.c_str());
    // Buffers downstream frees come back for the next copy; none is made before it is needed,
    // and the pool never blocks.
    pool_ = gst_buffer_pool_new();
    GstStructure* config = gst_buffer_pool_get_config(pool_);
    gst_buffer_pool_config_set_params(config, caps, static_cast<guint>(format.size), 0, 0);
    if (!gst_buffer_pool_set_config(pool_, config) || !gst_buffer_pool_set_active(pool_, TRUE)) {
        gst_object_unref(pool_);
        pool_ = nullptr;
    }
}

void ring_frames_t::describe(GstBuffer* buffer, const zorvgst::frame_info& info,
                             const zorvgst::frame_timing& timing, const std::uint8_t* metadata,
                             std::size_t metadata_size) const {
    gsize offsets[GST_VIDEO_MAX_PLANES] = {};
    gint strides[GST_VIDEO_MAX_PLANES] = {};
    for (unsigned i = 0; i < format_.planes; ++i) {
        offsets[i] = format_.plane[i].offset;
        strides[i] = static_cast<gint>(format_.plane[i].stride);
    }
    // Always: the ring's strides need not be the ones downstream would assume from the caps.
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, video_format_, format_.width,
                                   format_.height, format_.planes, offsets, strides);
    add_frame_meta(buffer, info.number, timing.pts_ns, metadata, metadata_size);
}

GstBuffer* ring_frames_t::wrap(zorvgst::frame_lease lease) {
    // The lease ends when the memory is freed, on whichever thread drops the last reference.
    auto* held = new zorvgst::frame_lease(std::move(lease));
    GstMemory* memory =
        gst_memory_new_wrapped(GST_MEMORY_FLAG_READONLY, const_cast<std::uint8_t*>(held->data()),
                               format_.size, 0, format_.size, held, end_lease);
    GstBuffer* buffer = gst_buffer_new();
    gst_buffer_append_memory(buffer, memory);
    describe(buffer, held->info(), held->timing(), held->metadata(), held->metadata_size());
    return buffer;
}

ring_read_t ring_frames_t::copy(zorvgst::frame_reader& reader, ring_buffer_t& out) {
    GstBuffer* buffer = nullptr;
    if (pool_ == nullptr ||
        gst_buffer_pool_acquire_buffer(pool_, &buffer, nullptr) != GST_FLOW_OK) {
        throw std::runtime_error("no buffer for a copy of a " + format_.name + " frame");
    }
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        gst_buffer_unref(buffer);
        throw std::runtime_error("could not map a buffer for a copy");
    }
    zorvgst::frame_timing timing;
    const zorvgst::read_result copied = reader.try_copy(map.data, map.size, &timing, &metadata_);
    gst_buffer_unmap(buffer, &map);
    // Too small: the writer made the ring anew for larger frames since the layout was negotiated.
    if (copied.status == zorvgst::read_status::too_small || reader.format() != format_) {
        gst_buffer_unref(buffer);
        return ring_read_t::other_layout;
    }
    if (!copied) {
        gst_buffer_unref(buffer);
        return ring_read_t::nothing;
    }
    describe(buffer, copied.info, timing, metadata_.data(), metadata_.size());
    out.buffer = buffer;
    out.leased = false;
    out.info = copied.info;
    out.timing = timing;
    return ring_read_t::frame;
}

ring_read_t ring_frames_t::next(zorvgst::frame_reader& reader, ring_buffer_t& out) {
    std::optional<zorvgst::frame_lease> lease = reader.hold();
    if (!lease) {
        return copy(reader, out);
    }
    if (lease->format() != format_) {
        return ring_read_t::other_layout;
    }
    out.info = lease->info();
    out.timing = lease->timing();
    out.leased = true;
    out.buffer = wrap(std::move(*lease));
    return ring_read_t::frame;
}

} // namespace zorvplugin
