// SPDX-License-Identifier: LGPL-2.1-or-later
// The write-slot pool of zorvdbsink: no preallocation, no queue, never blocks.
#include "slot_pool.h"

namespace {

struct pool_state_t {
    std::shared_ptr<zorvplugin::slot_exchange_t> exchange;
    zorvgst::frame_format format; // the layout upstream draws in
    guint size = 0;               // bytes per buffer, from the configuration upstream set
};

} // namespace

struct _GstZorvSlotPool {
    GstBufferPool parent;
    pool_state_t* state;
};

G_DEFINE_TYPE(GstZorvSlotPool, gst_zorv_slot_pool, GST_TYPE_BUFFER_POOL)

namespace {

gboolean gst_zorv_slot_pool_set_config(GstBufferPool* pool, GstStructure* config) {
    auto* self = GST_ZORV_SLOT_POOL(pool);
    GstCaps* caps = nullptr;
    guint size = 0;
    guint min_buffers = 0;
    guint max_buffers = 0;
    if (!gst_buffer_pool_config_get_params(config, &caps, &size, &min_buffers, &max_buffers) ||
        size == 0) {
        return FALSE;
    }
    self->state->size = size;
    return GST_BUFFER_POOL_CLASS(gst_zorv_slot_pool_parent_class)->set_config(pool, config);
}

gboolean gst_zorv_slot_pool_start(GstBufferPool*) {
    // Buffers are made at each acquire: the slot they wrap changes with every publication.
    return TRUE;
}

gboolean gst_zorv_slot_pool_stop(GstBufferPool*) {
    return TRUE;
}

GstFlowReturn gst_zorv_slot_pool_acquire(GstBufferPool* pool, GstBuffer** buffer,
                                         GstBufferPoolAcquireParams*) {
    auto* self = GST_ZORV_SLOT_POOL(pool);
    if (GST_BUFFER_POOL_IS_FLUSHING(pool)) {
        return GST_FLOW_FLUSHING;
    }
    const pool_state_t& state = *self->state;
    GstBuffer* result = state.exchange->next_buffer(state.format, state.size);
    if (result == nullptr) {
        return GST_FLOW_ERROR;
    }
    *buffer = result;
    return GST_FLOW_OK;
}

void gst_zorv_slot_pool_reset(GstBufferPool*, GstBuffer*) {}

void gst_zorv_slot_pool_release(GstBufferPool*, GstBuffer* buffer) {
    // Never reused: a slot buffer must not come back naming a slot that may now be read.
    gst_buffer_unref(buffer);
}

void gst_zorv_slot_pool_finalize(GObject* object) {
    delete GST_ZORV_SLOT_POOL(object)->state;
    G_OBJECT_CLASS(gst_zorv_slot_pool_parent_class)->finalize(object);
}

} // namespace

static void gst_zorv_slot_pool_class_init(GstZorvSlotPoolClass* klass) {
    auto* pool_class = GST_BUFFER_POOL_CLASS(klass);
    G_OBJECT_CLASS(klass)->finalize = gst_zorv_slot_pool_finalize;
    pool_class->set_config = gst_zorv_slot_pool_set_config;
    pool_class->start = gst_zorv_slot_pool_start;
    pool_class->stop = gst_zorv_slot_pool_stop;
    pool_class->acquire_buffer = gst_zorv_slot_pool_acquire;
    pool_class->reset_buffer = gst_zorv_slot_pool_reset;
    pool_class->release_buffer = gst_zorv_slot_pool_release;
}

static void gst_zorv_slot_pool_init(GstZorvSlotPool* self) {
    self->state = new pool_state_t();
}

namespace zorvplugin {

GstBufferPool* slot_pool_new(std::shared_ptr<slot_exchange_t> exchange,
                             const zorvgst::frame_format& format) {
    auto* pool = static_cast<GstZorvSlotPool*>(g_object_new(GST_TYPE_ZORV_SLOT_POOL, nullptr));
    gst_object_ref_sink(pool);
    pool->state->exchange = std::move(exchange);
    pool->state->format = format;
    return GST_BUFFER_POOL(pool);
}

} // namespace zorvplugin
