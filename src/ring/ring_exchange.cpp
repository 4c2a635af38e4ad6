// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame ring's protocol: the writer takes the lowest slot no lease names and publishes it;
// readers lease the newest slot and confirm its sequence, or copy and check it afterwards; the
// entries of readers that died are cleared by whoever notices.
#include <cstring>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <unistd.h>

#include <zorvgst/error.h>

#include "internal/frame_count_wake.h"
#include "internal/log.h"
#include "internal/ring/process_identity.h"
#include "internal/ring/ring_attachment.h"
#include "internal/shm_access.h"

namespace zorvgst::detail {

namespace {

using namespace ring;
using steady = std::chrono::steady_clock;

// Leases of a reader that died are cleared within a second of its death.
constexpr auto reclaim_interval = std::chrono::milliseconds(500);

std::uint64_t load_word(const std::uint64_t* word) {
    return __atomic_load_n(word, __ATOMIC_SEQ_CST);
}

void store_word(std::uint64_t* word, std::uint64_t value) {
    __atomic_store_n(word, value, __ATOMIC_SEQ_CST);
}

bool exchange_word(std::uint64_t* word, std::uint64_t expected, std::uint64_t desired) {
    return __atomic_compare_exchange_n(word, &expected, desired, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

std::uint64_t own_owner_word() {
    return owner_word(::getpid(), own_start_time());
}

/// Whether the reader (or reclaimer) an owner word names has gone.
bool owner_gone(std::uint64_t word) {
    const std::uint64_t identity = word & ~reclaiming_bit;
    return !same_process_alive(owner_pid(identity), owner_start(identity));
}

} // namespace

// ---- Reader table ----------------------------------------------------------------------------

void ring_attachment::clear_entry(std::uint64_t* entry) {
    for (std::uint32_t i = 1; i <= layout_.leases_per_reader; ++i) {
        store_word(entry + i, 0);
    }
}

bool ring_attachment::claim_reader_entry() {
    if (entry_ >= 0) {
        return true;
    }
    if (entry_unavailable_) {
        return false;
    }
    const std::uint64_t self = own_owner_word();
    for (int pass = 0; pass < 2; ++pass) {
        for (std::uint32_t index = 0; index < layout_.reader_count; ++index) {
            std::uint64_t* entry = reader_entry(index);
            if (load_word(entry) == 0 && exchange_word(entry, 0, self)) {
                clear_entry(entry);
                entry_ = static_cast<std::int32_t>(index);
                return true;
            }
        }
        reclaim_dead_readers(true);
    }
    return false;
}

void ring_attachment::release_reader_entry() {
    if (entry_ < 0) {
        return;
    }
    std::uint64_t* entry = reader_entry(static_cast<std::uint32_t>(entry_));
    // Leases first: a free entry never names a slot.
    clear_entry(entry);
    store_word(entry, 0);
    entry_ = -1;
}

void ring_attachment::reclaim_dead_readers(bool now_anyway) {
    if (!header_writable_) {
        return;
    }
    const steady::time_point now = steady::now();
    if (!now_anyway && now < next_reclaim_) {
        return;
    }
    next_reclaim_ = now + reclaim_interval;
    const std::uint64_t self = own_owner_word();
    for (std::uint32_t index = 0; index < layout_.reader_count; ++index) {
        std::uint64_t* entry = reader_entry(index);
        const std::uint64_t owner = load_word(entry);
        bool holds_leases = false;
        for (std::uint32_t i = 1; i <= layout_.leases_per_reader; ++i) {
            holds_leases = holds_leases || load_word(entry + i) != 0;
        }
        // A free entry holding leases is left over from a crash mid-claim (or scribbled on).
        const bool stale = owner == 0 ? holds_leases : owner_gone(owner);
        if (!stale) {
            continue;
        }
        // Whoever wins the exchange clears the entry; a claimer cannot take it meanwhile, and a
        // reclaimer that dies half-way is itself reclaimed.
        if (exchange_word(entry, owner, self | reclaiming_bit)) {
            clear_entry(entry);
            store_word(entry, 0);
            if (owner != 0) {
                ZORV_LOG_DEBUG("Reclaimed the leases of reader "
                               << owner_pid(owner & ~reclaiming_bit) << " of " << name_);
            }
        }
    }
}

bool ring_attachment::slot_leased(std::uint32_t slot) const {
    for (std::uint32_t index = 0; index < layout_.reader_count; ++index) {
        const std::uint64_t* entry = reader_entry(index);
        for (std::uint32_t i = 1; i <= layout_.leases_per_reader; ++i) {
            const std::uint64_t word = load_word(entry + i);
            if (word != 0 && leased_slot(word) == slot) {
                return true;
            }
        }
    }
    return false;
}

// ---- Readers ---------------------------------------------------------------------------------

bool ring_attachment::newest(ring_frame& frame) const {
    const auto* header = reinterpret_cast<const ring_header*>(header_map_);
    const std::uint32_t slot = load_acquire(header->newest_slot);
    if (slot >= layout_.slot_count) {
        return false; // no frame yet, or a corrupt index: nothing to trust
    }
    const slot_record& shared = record(slot);
    frame.slot = slot;
    frame.sequence = load_acquire(shared.sequence);
    if (frame.sequence == 0 || (frame.sequence & 1) != 0) {
        return false;
    }
    frame.number = load_acquire(shared.frame_number);
    frame.written = load_acquire(shared.written);
    frame.timing.pts_ns = load_acquire(shared.pts_ns);
    frame.timing.duration_ns = load_acquire(shared.duration_ns);
    frame.timing.flags = load_acquire(shared.flags);
    frame.metadata_size = std::min(load_acquire(shared.metadata_size), layout_.metadata_capacity);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    return unchanged(frame);
}

bool ring_attachment::unchanged(const ring_frame& frame) const {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    return load_acquire(record(frame.slot).sequence) == frame.sequence;
}

const std::uint8_t* ring_attachment::newest_slot() {
    ring_frame frame;
    return newest(frame) ? slot_data(frame.slot) : nullptr;
}

std::uint64_t* ring_attachment::take_lease(ring_frame& frame, unsigned limit) {
    if (!claim_reader_entry()) {
        return nullptr;
    }
    std::uint64_t* entry = reader_entry(static_cast<std::uint32_t>(entry_));
    std::uint64_t* free_word = nullptr;
    unsigned held = 0;
    for (std::uint32_t i = 1; i <= layout_.leases_per_reader; ++i) {
        if (load_word(entry + i) != 0) {
            ++held;
        } else if (free_word == nullptr) {
            free_word = entry + i;
        }
    }
    if (free_word == nullptr || held >= limit) {
        return nullptr;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!newest(frame)) {
            return nullptr;
        }
        // Lease first, then confirm: a writer that took the slot before the lease was visible
        // has changed its sequence; one that looks after sees the lease and leaves the slot.
        store_word(free_word, lease_word(frame.slot, frame.sequence / 2));
        if (unchanged(frame)) {
            return free_word;
        }
        store_word(free_word, 0);
    }
    return nullptr;
}

void ring_attachment::end_lease(std::uint64_t* word) {
    store_word(word, 0);
}

unsigned ring_attachment::leases_held() const {
    if (entry_ < 0) {
        return 0;
    }
    const std::uint64_t* entry = reader_entry(static_cast<std::uint32_t>(entry_));
    unsigned held = 0;
    for (std::uint32_t i = 1; i <= layout_.leases_per_reader; ++i) {
        held += load_word(entry + i) != 0 ? 1 : 0;
    }
    return held;
}

// ---- The writer ------------------------------------------------------------------------------

std::uint8_t* ring_attachment::acquire() {
    if (acquired_ != no_slot) {
        return const_cast<std::uint8_t*>(slot_data(acquired_));
    }
    reclaim_dead_readers();
    const auto* header = reinterpret_cast<const ring_header*>(header_map_);
    const std::uint32_t newest_index = load_acquire(header->newest_slot);
    for (int pass = 0; pass < 2; ++pass) {
        for (std::uint32_t slot = 0; slot < layout_.slot_count; ++slot) {
            if (slot == newest_index || slot_leased(slot)) {
                continue;
            }
            slot_record& shared = record(slot);
            const std::uint64_t sequence = load_acquire(shared.sequence);
            // Odd only if a writer before this one died while filling it.
            const std::uint64_t whole = sequence + (sequence & 1);
            store_word(&shared.sequence, whole + 1);
            // Marked, then looked at again: a reader that leased it before the mark is seen now.
            if (slot_leased(slot)) {
                store_word(&shared.sequence, whole);
                continue;
            }
            acquired_ = slot;
            return const_cast<std::uint8_t*>(slot_data(slot));
        }
        reclaim_dead_readers(true);
    }
    // Unreachable: the table has readers x leases words, and the ring two slots more.
    throw error("no slot of frame ring " + name_ + " is free");
}

std::uint8_t* ring_attachment::metadata_area() {
    return acquire() + geometry_.metadata_offset;
}

std::uint64_t ring_attachment::publish(const frame_timing& timing, std::uint64_t metadata_size) {
    acquire();
    auto* header = reinterpret_cast<ring_header*>(header_map_);
    slot_record& shared = record(acquired_);
    const boost::posix_time::ptime now = boost::posix_time::microsec_clock::local_time();
    const std::uint64_t number = load_acquire(header->frame_count) + 1;
    store_release(shared.frame_number, number);
    store_release(shared.pts_ns, timing.pts_ns);
    store_release(shared.duration_ns, timing.duration_ns);
    store_release(shared.flags, timing.flags);
    store_release(shared.metadata_size, std::min(metadata_size, layout_.metadata_capacity));
    store_release(shared.written, now);
    // Pixels written with string or non-temporal stores must be visible before the sequence
    // says the frame is whole.
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    store_release(shared.sequence, load_acquire(shared.sequence) + 1);
    store_release(header->newest_slot, acquired_);
    store_release(header->frame_count, number);
    store_release(header->last_write_time, now);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    acquired_ = no_slot;
    wake_publication_readers(frame_count_word(header));
    return number;
}

} // namespace zorvgst::detail
