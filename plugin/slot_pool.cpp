// SPDX-License-Identifier: LGPL-2.1-or-later
// The write-slot pool of zorvdbsink and the shared writer its buffers are checked against.
#include "slot_pool.h"
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace zorvplugin {

// Kept by each slot memory: what the exchange looked like when the slot was lent, and where
// the memory's bytes are now. Plain buffers carry one too, without an address, to count what
// is still on its way to the sink.
struct slot_exchange_t::lease_t {
    std::shared_ptr<slot_exchange_t> exchange;
    // Kept while the memory is mapped when the writer goes, so that mapping stays valid.
    std::shared_ptr<zorvgst::frame_writer> writer;
    const guint8* address = nullptr; // the slot lent; null for plain memory
    std::uint64_t epoch = 0;
    std::uint64_t generation = 0;
    bool in_flight = false; // handed out, not yet seen by the sink
    std::size_t size = 0;
    // The slot while its writer is open; afterwards a private copy of what it held.
    std::atomic<guint8*> data{nullptr};
    std::vector<guint8> detached;
    std::atomic<int> maps{0};
};

namespace {

GQuark lease_quark() {
    static const GQuark quark = g_quark_from_static_string("zorv-slot-lease");
    return quark;
}

std::size_t frame_bytes(std::uint32_t width, std::uint32_t height) {
    return static_cast<std::size_t>(width) * height * 4;
}

// Memory lending a slot. Mapping goes through the lease, so once the writer closes (a resize
// may shrink or drop the mapping) holders keep reading the copy taken at that moment.
struct slot_memory_t {
    GstMemory memory;
    void* lease;
};

constexpr const char* slot_memory_type = "ZorvSlotMemory";

} // namespace

void slot_exchange_t::replace_writer(std::unique_ptr<zorvgst::frame_writer> writer) {
    std::shared_ptr<zorvgst::frame_writer> previous;
    std::vector<std::shared_ptr<zorvgst::frame_writer>> released;
    {
        std::lock_guard<std::mutex> guard(lock_);
        // Frames held after the writer goes (last sample, an application's sample) keep their
        // pixels without touching the old mapping, which the next writer may shrink.
        for (lease_t* lease : lent_) {
            released.push_back(detach(*lease));
        }
        lent_.clear();
        previous = std::move(writer_);
        writer_ = std::move(writer);
        width_ = writer_ ? writer_->width() : 0;
        height_ = writer_ ? writer_->height() : 0;
        ++epoch_;
        pending_ = nullptr;
        in_flight_ = 0;
    }
    // A buffer still wrapping the previous writer's slot keeps that writer until it goes.
    previous.reset();
}

std::shared_ptr<zorvgst::frame_writer> slot_exchange_t::detach(lease_t& lease) {
    guint8* slot = lease.data.load();
    lease.detached.assign(slot, slot + lease.size);
    lease.data.store(lease.detached.data());
    // One being mapped right now keeps the writer, and so the mapping, until it goes.
    if (lease.maps.load() != 0) {
        return nullptr;
    }
    return std::move(lease.writer);
}

bool slot_exchange_t::free_slot(const guint8* address) {
    for (const lease_t* lease : lent_) {
        if (lease->address == address && lease->maps.load() != 0) {
            return false;
        }
    }
    for (auto it = lent_.begin(); it != lent_.end();) {
        if ((*it)->address == address) {
            // The writer is still open: this drops no mapping.
            detach(**it);
            it = lent_.erase(it);
        } else {
            ++it;
        }
    }
    return true;
}

bool slot_exchange_t::has_writer() const {
    std::lock_guard<std::mutex> guard(lock_);
    return writer_ != nullptr;
}

void slot_exchange_t::publish_copy(const guint8* src, std::size_t src_stride) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!writer_) {
        throw std::runtime_error("no writer open");
    }
    // Buffers wrapping the slot about to be written (a frame still held, one lent and overtaken)
    // take their pixels with them first; one mapped at this very moment cannot, and sees the
    // new frame.
    free_slot(writer_->frame());
    writer_->write(src, src_stride);
    ++generation_;
    // A slot buffer still out names the read slot from now on: it is no longer current.
    pending_ = nullptr;
}

slot_check_t slot_exchange_t::publish_slot(GstBuffer* buffer) {
    if (gst_buffer_n_memory(buffer) != 1) {
        return slot_check_t::foreign;
    }
    GstMemory* memory = gst_buffer_peek_memory(buffer, 0);
    auto* lease = static_cast<lease_t*>(
        gst_mini_object_get_qdata(GST_MINI_OBJECT_CAST(memory), lease_quark()));
    if (lease == nullptr || lease->exchange.get() != this) {
        return slot_check_t::foreign;
    }
    gsize offset = 0;
    const gsize size = gst_memory_get_sizes(memory, &offset, nullptr);
    std::lock_guard<std::mutex> guard(lock_);
    if (lease->epoch != epoch_ || !writer_) {
        return lease->address != nullptr ? slot_check_t::stale : slot_check_t::foreign;
    }
    if (lease->in_flight) {
        lease->in_flight = false;
        --in_flight_;
    }
    if (lease->address == nullptr) {
        return slot_check_t::foreign;
    }
    if (offset != 0 || size != frame_bytes(width_, height_)) {
        return slot_check_t::foreign;
    }
    if (pending_ != lease || lease->generation != generation_ ||
        writer_->frame() != lease->address) {
        return slot_check_t::published;
    }
    writer_->publish();
    ++generation_;
    pending_ = nullptr;
    // It names the read slot now: whoever still holds it may read it, nobody may draw into it.
    GST_MINI_OBJECT_FLAG_SET(memory, GST_MEMORY_FLAG_READONLY);
    return slot_check_t::current;
}

slot_exchange_t::lease_t* slot_exchange_t::new_lease(const guint8* address) {
    ++in_flight_;
    auto* lease = new lease_t();
    lease->exchange = shared_from_this();
    lease->writer = writer_;
    lease->address = address;
    lease->epoch = epoch_;
    lease->generation = generation_;
    lease->in_flight = true;
    return lease;
}

GstBuffer* slot_exchange_t::next_buffer(std::uint32_t width, std::uint32_t height,
                                        std::size_t size) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!writer_ || width != width_ || height != height_) {
            return gst_buffer_new_allocate(nullptr, size, nullptr);
        }
        guint8* address = nullptr;
        if (in_flight_ == 0 && size == frame_bytes(width, height)) {
            try {
                address = writer_->frame();
            } catch (const std::exception&) {
                address = nullptr;
            }
        }
        // A published frame someone still holds (a tee branch, an application's sample) moves
        // its pixels out of the slot first; while it is mapped the slot is not lent.
        if (address != nullptr && free_slot(address)) {
            lease_t* lease = new_lease(address);
            lease->size = size;
            lease->data.store(address);
            GstMemory* memory = new_slot_memory(lease, size);
            gst_mini_object_set_qdata(GST_MINI_OBJECT_CAST(memory), lease_quark(), lease, nullptr);
            lent_.insert(lease);
            pending_ = lease;
            GstBuffer* buffer = gst_buffer_new();
            gst_buffer_append_memory(buffer, memory);
            return buffer;
        }
    }
    // The slot is out or held: this frame travels in ordinary memory and is copied.
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
    if (buffer != nullptr && gst_buffer_n_memory(buffer) == 1) {
        std::lock_guard<std::mutex> guard(lock_);
        if (writer_ && width == width_ && height == height_) {
            gst_mini_object_set_qdata(GST_MINI_OBJECT_CAST(gst_buffer_peek_memory(buffer, 0)),
                                      lease_quark(), new_lease(nullptr),
                                      &slot_exchange_t::lease_ended);
        }
    }
    return buffer;
}

void slot_exchange_t::lease_ended(gpointer data) {
    auto* lease = static_cast<lease_t*>(data);
    {
        slot_exchange_t& exchange = *lease->exchange;
        std::lock_guard<std::mutex> guard(exchange.lock_);
        if (lease->epoch == exchange.epoch_) {
            if (lease->in_flight) {
                --exchange.in_flight_;
            }
            exchange.lent_.erase(lease);
            if (exchange.pending_ == lease) {
                // Dropped before it was rendered: the slot may be lent again.
                exchange.pending_ = nullptr;
            }
        }
    }
    // Outside the lock: this may release the last reference to the exchange or the writer.
    delete lease;
}

guint8* slot_exchange_t::lease_data(void* lease) {
    return static_cast<lease_t*>(lease)->data.load();
}

void slot_exchange_t::lease_mapped(void* lease, int change) {
    static_cast<lease_t*>(lease)->maps += change;
}

} // namespace zorvplugin

// The allocator of slot memories: it allocates nothing, it only maps, copies and frees them.
G_BEGIN_DECLS
#define GST_TYPE_ZORV_SLOT_ALLOCATOR (gst_zorv_slot_allocator_get_type())
G_DECLARE_FINAL_TYPE(GstZorvSlotAllocator, gst_zorv_slot_allocator, GST, ZORV_SLOT_ALLOCATOR,
                     GstAllocator)
G_END_DECLS

struct _GstZorvSlotAllocator {
    GstAllocator parent;
};

G_DEFINE_TYPE(GstZorvSlotAllocator, gst_zorv_slot_allocator, GST_TYPE_ALLOCATOR)

namespace {

using zorvplugin::slot_exchange_t;
using zorvplugin::slot_memory_t;

GstMemory* slot_allocator_alloc(GstAllocator*, gsize, GstAllocationParams*) {
    return nullptr;
}

void slot_allocator_free(GstAllocator*, GstMemory* memory) {
    auto* slot = reinterpret_cast<slot_memory_t*>(memory);
    slot_exchange_t::lease_freed(slot->lease);
    g_free(slot);
}

gpointer slot_memory_map(GstMemory* memory, gsize, GstMapFlags) {
    void* lease = reinterpret_cast<slot_memory_t*>(memory)->lease;
    slot_exchange_t::lease_mapped(lease, 1);
    return slot_exchange_t::lease_data(lease);
}

void slot_memory_unmap(GstMemory* memory) {
    slot_exchange_t::lease_mapped(reinterpret_cast<slot_memory_t*>(memory)->lease, -1);
}

GstMemory* slot_memory_copy(GstMemory* memory, gssize offset, gssize size) {
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
    allocator_class->alloc = slot_allocator_alloc;
    allocator_class->free = slot_allocator_free;
}

static void gst_zorv_slot_allocator_init(GstZorvSlotAllocator* self) {
    auto* allocator = GST_ALLOCATOR(self);
    allocator->mem_type = zorvplugin::slot_memory_type;
    allocator->mem_map = slot_memory_map;
    allocator->mem_unmap = slot_memory_unmap;
    allocator->mem_copy = slot_memory_copy;
    GST_OBJECT_FLAG_SET(allocator, GST_ALLOCATOR_FLAG_CUSTOM_ALLOC);
}

namespace zorvplugin {

GstMemory* slot_exchange_t::new_slot_memory(lease_t* lease, std::size_t size) {
    // One allocator for the process, kept for its lifetime like GStreamer's own.
    static GstAllocator* const allocator = [] {
        auto* made =
            static_cast<GstAllocator*>(g_object_new(GST_TYPE_ZORV_SLOT_ALLOCATOR, nullptr));
        gst_object_ref_sink(made);
        return made;
    }();
    auto* slot = static_cast<slot_memory_t*>(g_malloc0(sizeof(slot_memory_t)));
    slot->lease = lease;
    // Never shared into sub-memories: copies take the pixels instead.
    gst_memory_init(&slot->memory, GST_MEMORY_FLAG_NO_SHARE, allocator, nullptr, size, 0, 0, size);
    return &slot->memory;
}

} // namespace zorvplugin

// The pool class itself: no preallocation, no queue, never blocks.
namespace {

struct pool_state_t {
    std::shared_ptr<zorvplugin::slot_exchange_t> exchange;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    guint size = 0; // bytes per buffer, from the configuration upstream set
};

} // namespace

G_BEGIN_DECLS
#define GST_TYPE_ZORV_SLOT_POOL (gst_zorv_slot_pool_get_type())
G_DECLARE_FINAL_TYPE(GstZorvSlotPool, gst_zorv_slot_pool, GST, ZORV_SLOT_POOL, GstBufferPool)
G_END_DECLS

struct _GstZorvSlotPool {
    GstBufferPool parent;
    pool_state_t* state;
};

G_DEFINE_TYPE(GstZorvSlotPool, gst_zorv_slot_pool, GST_TYPE_BUFFER_POOL)

namespace {

gboolean slot_pool_set_config(GstBufferPool* pool, GstStructure* config) {
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

gboolean slot_pool_start(GstBufferPool*) {
    // Buffers are made at each acquire: the slot they wrap changes with every publication.
    return TRUE;
}

gboolean slot_pool_stop(GstBufferPool*) {
    return TRUE;
}

GstFlowReturn slot_pool_acquire(GstBufferPool* pool, GstBuffer** buffer,
                                GstBufferPoolAcquireParams*) {
    auto* self = GST_ZORV_SLOT_POOL(pool);
    if (GST_BUFFER_POOL_IS_FLUSHING(pool)) {
        return GST_FLOW_FLUSHING;
    }
    const pool_state_t& state = *self->state;
    GstBuffer* result = state.exchange->next_buffer(state.width, state.height, state.size);
    if (result == nullptr) {
        return GST_FLOW_ERROR;
    }
    *buffer = result;
    return GST_FLOW_OK;
}

void slot_pool_reset(GstBufferPool*, GstBuffer*) {}

void slot_pool_release(GstBufferPool*, GstBuffer* buffer) {
    // Never reused: a slot buffer must not come back naming a slot that may now be read.
    gst_buffer_unref(buffer);
}

void slot_pool_finalize(GObject* object) {
    delete GST_ZORV_SLOT_POOL(object)->state;
    G_OBJECT_CLASS(gst_zorv_slot_pool_parent_class)->finalize(object);
}

} // namespace

static void gst_zorv_slot_pool_class_init(GstZorvSlotPoolClass* klass) {
    auto* pool_class = GST_BUFFER_POOL_CLASS(klass);
    G_OBJECT_CLASS(klass)->finalize = slot_pool_finalize;
    pool_class->set_config = slot_pool_set_config;
    pool_class->start = slot_pool_start;
    pool_class->stop = slot_pool_stop;
    pool_class->acquire_buffer = slot_pool_acquire;
    pool_class->reset_buffer = slot_pool_reset;
    pool_class->release_buffer = slot_pool_release;
}

static void gst_zorv_slot_pool_init(GstZorvSlotPool* self) {
    self->state = new pool_state_t();
}

namespace zorvplugin {

GstBufferPool* slot_pool_new(std::shared_ptr<slot_exchange_t> exchange, std::uint32_t width,
                             std::uint32_t height) {
    auto* pool = static_cast<GstZorvSlotPool*>(g_object_new(GST_TYPE_ZORV_SLOT_POOL, nullptr));
    gst_object_ref_sink(pool);
    pool->state->exchange = std::move(exchange);
    pool->state->width = width;
    pool->state->height = height;
    return GST_BUFFER_POOL(pool);
}

} // namespace zorvplugin
