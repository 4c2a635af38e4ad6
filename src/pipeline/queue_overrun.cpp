// SPDX-License-Identifier: LGPL-2.1-or-later
// Warnings when a queue inside a host's pipeline runs full.
#include <zorvgst/pipeline.h>

#include "internal/log.h"
#include "internal/pipeline/pipeline_text.h"

using zorvgst::detail::owned_text;
using zorvgst::detail::text_or_placeholder;

namespace {

// Any element may be connected by name, so a fill level it lacks (or keeps in another integer
// type) reads as 0 instead of drawing a GLib warning on every overrun.
guint64 read_level(GstElement* element, const char* property) {
    GParamSpec* property_info = g_object_class_find_property(G_OBJECT_GET_CLASS(element), property);
    if (property_info == nullptr || (property_info->flags & G_PARAM_READABLE) == 0) {
        return 0;
    }
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_UINT64);
    guint64 level = 0;
    GValue raw = G_VALUE_INIT;
    g_value_init(&raw, G_PARAM_SPEC_VALUE_TYPE(property_info));
    g_object_get_property(G_OBJECT(element), property, &raw);
    if (g_value_transform(&raw, &value)) {
        level = g_value_get_uint64(&value);
    }
    g_value_unset(&raw);
    g_value_unset(&value);
    return level;
}

} // namespace

void add_queue_overrun_callback(GstBin* bin, const char* queue_name) {
    GstElement* queue = queue_name != nullptr ? gst_bin_get_by_name(bin, queue_name) : nullptr;
    if (queue == nullptr) {
        ZORV_LOG_ERROR(
            "Could Not Add Queue Overrun Callback for Queue: " << text_or_placeholder(queue_name));
        return;
    }
    g_signal_connect_data(queue, "overrun", G_CALLBACK(queue_overrun_callback), nullptr, nullptr,
                          static_cast<GConnectFlags>(0));
    gst_object_unref(queue);
}

void queue_overrun_callback(GstElement* queue, gpointer /*user_data*/) {
    // Read before the level test: the queue keeps changing, the figures belong to this emission.
    const guint64 buffers = read_level(queue, "current-level-buffers");
    const guint64 bytes = read_level(queue, "current-level-bytes");
    // The time the queue holds, in nanoseconds: what ", Time: " promises and what tells an
    // operator whether max-size-time is the limit being hit.
    const guint64 time_ns = read_level(queue, "current-level-time");
    if (logger->isWarnEnabled()) {
        owned_text name(gst_object_get_name(GST_OBJECT(queue)));
        ZORV_LOG_WARN("Queue Buffer Overrrun -- Settings Need Adjustment -- "
                      << name.c_str() << " -- Buffers: " << buffers << ", Bytes: " << bytes
                      << ", Time: " << time_ns);
    }
}
