// SPDX-License-Identifier: LGPL-2.1-or-later
// Frame memory of GStreamer buffers and samples, mapped for the rendering adapters and released
// on every path, exceptions included.
#pragma once

#include <gst/gst.h>

#include "internal/log.h"

namespace zorvgst::detail {

/// The memory of a GstBuffer taken as one block (a new reference) and mapped. Unmapped and
/// released by the destructor unless done before; not copyable.
class frame_memory {
public:
    /// For GST_MAP_WRITE on a buffer of several blocks the merged block replaces them in the
    /// buffer first, so what is written reaches the buffer instead of a private copy.
    frame_memory(GstBuffer* buffer, GstMapFlags flags) { map(buffer, flags); }
    frame_memory() = default;
    ~frame_memory() {
        unmap();
        unref();
    }
    frame_memory(const frame_memory&) = delete;
    frame_memory& operator=(const frame_memory&) = delete;

    /// Maps `buffer` in place of whatever this held; false when it cannot.
    bool map(GstBuffer* buffer, GstMapFlags flags) {
        unref();
        if (buffer == nullptr) {
            return false;
        }
        memory_ = gst_buffer_get_all_memory(buffer);
        if (memory_ == nullptr) {
            return false;
        }
        if ((flags & GST_MAP_WRITE) != 0 && gst_buffer_n_memory(buffer) > 1) {
            gst_buffer_replace_all_memory(buffer, gst_memory_ref(memory_));
        }
        mapped_ = gst_memory_map(memory_, &info_, flags) != FALSE;
        return mapped_;
    }

    bool mapped() const { return mapped_; }
    guint8* data() const { return info_.data; }
    gsize size() const { return info_.size; }

    void unmap() {
        if (mapped_) {
            gst_memory_unmap(memory_, &info_);
            mapped_ = false;
        }
    }
    void unref() {
        unmap();
        if (memory_ != nullptr) {
            gst_mini_object_unref(GST_MINI_OBJECT_CAST(memory_));
            memory_ = nullptr;
        }
    }

private:
    GstMemory* memory_ = nullptr;
    GstMapInfo info_{};
    bool mapped_ = false;
};

/// Maps `dst`, the GstBuffer a rendering function fills, into `memory` when it may be written;
/// otherwise says why at `where`, the rendering function's place.
inline bool map_render_target(GstBuffer* dst, frame_memory& memory,
                              const ::log4cxx::spi::LocationInfo& where) {
    if (dst == nullptr || !gst_mini_object_is_writable(GST_MINI_OBJECT_CAST(dst))) {
        ZORV_LOG_ERROR_AT(where, "Buffer Is Not Writeable");
        return false;
    }
    if (!memory.map(dst, GST_MAP_WRITE)) {
        memory.unref();
        ZORV_LOG_ERROR_AT(where, "gst_buffer_map() Failed -- Not Writing to Buffer of Size: "
                                     << gst_buffer_get_size(dst));
        return false;
    }
    return true;
}

/// What a sample says about its frame: its buffer and the width and height of its caps.
struct sample_frame {
    GstBuffer* buffer = nullptr;
    gint width = 0;
    gint height = 0;
    bool has_buffer_and_caps = false;
    bool has_size = false; ///< both fields present and not negative
};

// Field names looked up once: a lookup by string hashes it into the quark table on every frame.
inline GQuark width_quark() {
    static const GQuark quark = g_quark_from_static_string("width");
    return quark;
}

inline GQuark height_quark() {
    static const GQuark quark = g_quark_from_static_string("height");
    return quark;
}

/// gst_structure_get_int() by quark: false unless the field is there and holds an int.
inline bool structure_int(const GstStructure* structure, GQuark field, gint& out) {
    const GValue* value = gst_structure_id_get_value(structure, field);
    if (value == nullptr || !G_VALUE_HOLDS_INT(value)) {
        return false;
    }
    out = g_value_get_int(value);
    return true;
}

inline sample_frame describe_sample(GstSample* sample) {
    sample_frame frame;
    if (sample == nullptr) {
        return frame;
    }
    frame.buffer = gst_sample_get_buffer(sample);
    GstCaps* caps = gst_sample_get_caps(sample);
    const GstStructure* structure =
        caps != nullptr && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
    frame.has_buffer_and_caps = frame.buffer != nullptr && structure != nullptr;
    if (structure != nullptr) {
        const bool has_width = structure_int(structure, width_quark(), frame.width);
        const bool has_height = structure_int(structure, height_quark(), frame.height);
        frame.has_size = has_width && has_height && frame.width >= 0 && frame.height >= 0;
    }
    return frame;
}

} // namespace zorvgst::detail
