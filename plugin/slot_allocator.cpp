// SPDX-License-Identifier: LGPL-2.1-or-later
// The allocator of slot memories: it allocates nothing, it only maps, copies and frees them.
#include "slot_allocator.h"
#include <cstring>

#include "slot_exchange.h"

struct _GstZorvSlotAllocator {
    GstAllocator parent;
};

G_DEFINE_TYPE(GstZorvSlotAllocator, gst_zorv_slot_allocator, GST_TYPE_ALLOCATOR)

namespace {

using zorvplugin::slot_exchange_t;

// Memory lending a slot. Mapping goes through the lease, so once the writer closes (a resize
// may shrink or drop the mapping) holders keep reading the copy taken at that moment.
struct slot_memory_t {
    GstMemory memory;
    void* lease;
};

constexpr const char* slot_memory_type = "ZorvSlotMemory";

GstMemory* gst_zorv_slot_allocator_alloc(GstAllocator*, gsize, GstAllocationParams*) {
    return nullptr;
}

void gst_zorv_slot_allocator_free(GstAllocator*, GstMemory* memory) {
    auto* slot = reinterpret_cast<slot_memory_t*>(memory);
    slot_exchange_t::lease_freed(slot->lease);
    g_free(slot);
}

gpointer gst_zorv_slot_allocator_map(GstMemory* memory, gsize, GstMapFlags) {
    void* lease = reinterpret_cast<slot_memory_t*>(memory)->lease;
    slot_exchange_t::lease_mapped(lease, 1);
    return slot_exchange_t::lease_data(lease);
}

void gst_zorv_slot_allocator_unmap(GstMemory* memory) {
    slot_exchange_t::lease_mapped(reinterpret_cast<slot_memory_t*>(memory)->lease, -1);
}

GstMemory* gst_zorv_slot_allocator_copy(GstMemory* memory, gssize offset, gssize size) {
    if (size < 0) {
        size = static_cast<gssize>(memory->size) - offset;
    }
    GstMemory* copy = gst_allocator_alloc(nullptr, static_cast<gsize>(size), nullptr);
    GstMapInfo source;
    GstMapInfo target;
    if (copy == nullptr || !gst_memory_map(memory, &source, GST_MAP_READ)) {
        if (copy != nullptr) {
            gst_memory_unref(copy);
        }
        return nullptr;
    }
    if (gst_memory_map(copy, &target, GST_MAP_WRITE)) {
        std::memcpy(target.data, source.data + offset, static_cast<std::size_t>(size));
        gst_memory_unmap(copy, &target);
    }
    gst_memory_unmap(memory, &source);
    return copy;
}

} // namespace

static void gst_zorv_slot_allocator_class_init(GstZorvSlotAllocatorClass* klass) {
    auto* allocator_class = GST_ALLOCATOR_CLASS(klass);
    allocator_class->alloc = gst_zorv_slot_allocator_alloc;
    allocator_class->free = gst_zorv_slot_allocator_free;
}

static void gst_zorv_slot_allocator_init(GstZorvSlotAllocator* self) {
    auto* allocator = GST_ALLOCATOR(self);
    allocator->mem_type = slot_memory_type;
    allocator->mem_map = gst_zorv_slot_allocator_map;
    allocator->mem_unmap = gst_zorv_slot_allocator_unmap;
    allocator->mem_copy = gst_zorv_slot_allocator_copy;
    GST_OBJECT_FLAG_SET(allocator, GST_ALLOCATOR_FLAG_CUSTOM_ALLOC);
}

namespace zorvplugin {

GstMemory* slot_memory_new(void* lease, std::size_t size) {
    // One allocator for the process, kept for its lifetime like GStreamer's own.
    static GstAllocator* const allocator = [] {
        auto* made =
            static_cast<GstAllocator*>(g_object_new(GST_TYPE_ZORV_SLOT_ALLOCATOR, nullptr));
        gst_object_ref_sink(made);
        return made;
    }();
    auto* slot = static_cast<slot_memory_t*>(g_malloc0(sizeof(slot_memory_t)));
    slot->lease = lease;
    gst_memory_init(&slot->memory, GST_MEMORY_FLAG_NO_SHARE, allocator, nullptr, size, 0, 0, size);
    return &slot->memory;
}

} // namespace zorvplugin
