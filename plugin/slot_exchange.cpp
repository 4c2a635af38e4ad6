// SPDX-License-Identifier: LGPL-2.1-or-later
// The writer zorvdbsink shares with its slot pool: lending the write slot, checking what comes
// back.
#include "slot_exchange.h"
#include <atomic>
#include <stdexcept>
#include <vector>

#include "slot_allocator.h"

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
            GstMemory* memory = slot_memory_new(lease, size);
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
