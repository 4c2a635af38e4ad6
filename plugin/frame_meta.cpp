// SPDX-License-Identifier: LGPL-2.1-or-later
// The custom meta both elements share: registration, adding it, reading its metadata back.
#include "frame_meta.h"

namespace zorvplugin {

void register_frame_meta() {
    // No tags: elements that change pixels (scaling, conversion) keep it, as they should, since
    // it describes the frame's moment and metadata rather than its pixels. No transform
    // function: copies of a buffer copy its structure. (GStreamer 1.24 names this combination
    // gst_meta_register_custom_simple.)
    static const GstMetaInfo* const info = [] {
        static const gchar* tags[] = {nullptr};
        return gst_meta_register_custom(frame_meta_name, tags, nullptr, nullptr, nullptr);
    }();
    (void)info;
}

void add_frame_meta(GstBuffer* buffer, std::uint64_t frame_number, std::int64_t pts_monotonic,
                    const std::uint8_t* metadata, std::size_t metadata_size) {
    GstCustomMeta* meta = gst_buffer_add_custom_meta(buffer, frame_meta_name);
    if (meta == nullptr) {
        return;
    }
    GstStructure* fields = gst_custom_meta_get_structure(meta);
    gst_structure_set(fields, "frame-number", G_TYPE_UINT64, guint64{frame_number}, "pts-monotonic",
                      G_TYPE_INT64, gint64{pts_monotonic}, nullptr);
    if (metadata != nullptr && metadata_size != 0) {
        GBytes* bytes = g_bytes_new(metadata, metadata_size);
        gst_structure_set(fields, "metadata", G_TYPE_BYTES, bytes, nullptr);
        g_bytes_unref(bytes);
    }
}

GBytes* frame_meta_metadata(GstBuffer* buffer) {
    GstCustomMeta* meta = gst_buffer_get_custom_meta(buffer, frame_meta_name);
    if (meta == nullptr) {
        return nullptr;
    }
    const GValue* value = gst_structure_get_value(gst_custom_meta_get_structure(meta), "metadata");
    if (value == nullptr || !G_VALUE_HOLDS(value, G_TYPE_BYTES)) {
        return nullptr;
    }
    return static_cast<GBytes*>(g_value_get_boxed(value));
}

} // namespace zorvplugin
