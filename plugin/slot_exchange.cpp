// SPDX-License-Identifier: LGPL-2.1-or-later
// The writer zorvdbsink shares with its slot pool: lending the write slot, checking what comes
// back.
#include "slot_exchange.h"
#include <algorithm>
#include <atomic>
#include <cstring>
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

std::optional<zorvgst::frame_format> slot_exchange_t::format() const {
    std::lock_guard<std::mutex> guard(lock_);
    if (!writer_) {
        return std::nullopt;
    }
    return writer_->format();
}

void slot_exchange_t::publish_locked(const frame_extras_t& extras) {
    std::size_t metadata_size = 0;
    guint8* metadata = writer_->metadata();
    if (metadata != nullptr && extras.metadata != nullptr) {
        metadata_size = std::min(extras.metadata_size, writer_->metadata_capacity());
        std::memcpy(metadata, extras.metadata, metadata_size);
    }
    writer_->publish(extras.timing, metadata_size);
    ++generation_;
    // A slot buffer still out names a published slot from now on: it is no longer current.
    pending_ = nullptr;
}

void slot_exchange_t::publish_copy(const guint8* const* planes, const std::size_t* strides,
                                   const frame_extras_t& extras) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!writer_) {
        throw std::runtime_error("no writer open");
    }
    const zorvgst::frame_format& format = writer_->format();
    for (unsigned i = 0; i < format.planes; ++i) {
        if (strides[i] < format.row_bytes(i)) {
            throw std::runtime_error("rows of plane " + std::to_string(i) + " are " +
                                     std::to_string(strides[i]) + " bytes apart, shorter than " +
                                     std::to_string(format.row_bytes(i)) + " bytes of pixels");
        }
    }
    // Buffers wrapping the slot about to be written (a frame still held, one lent and overtaken)
    // take their pixels with them first; one mapped at this very moment cannot, and sees the
    // new frame.
    guint8* slot = writer_->frame();
    free_slot(slot);
    for (unsigned i = 0; i < format.planes; ++i) {
        guint8* row = slot + format.plane[i].offset;
        const guint8* source = planes[i];
        const std::size_t bytes = format.row_bytes(i);
        const unsigned rows = format.plane_height(i);
        if (strides[i] == bytes && format.plane[i].stride == bytes) {
            std::memcpy(row, source, bytes * rows);
            continue;
        }
        for (unsigned y = rows; y > 0; --y) {
            std::memcpy(row, source, bytes);
            row += format.plane[i].stride;
            source += strides[i];
        }
    }
    publish_locked(extras);
}

slot_check_t slot_exchange_t::publish_slot(GstBuffer* buffer, const frame_extras_t& extras) {
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
    if (offset != 0 || size != writer_->format().size) {
        return slot_check_t::foreign;
    }
    if (pending_ != lease || lease->generation != generation_ ||
        writer_->frame() != lease->address) {
        return slot_check_t::published;
    }
    publish_locked(extras);
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

GstBuffer* slot_exchange_t::next_buffer(const zorvgst::frame_format& format, std::size_t size) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!writer_ || format != writer_->format()) {
            return gst_buffer_new_allocate(nullptr, size, nullptr);
        }
        guint8* address = nullptr;
        if (in_flight_ == 0 && size == format.size) {
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
        if (writer_ && format == writer_->format()) {
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
