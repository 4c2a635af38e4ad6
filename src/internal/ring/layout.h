// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame ring's shared layout: header, slot records, reader table, and the checks that make a
// header from another process safe to use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <sys/types.h>

namespace zorvgst::detail::ring {

/// The type word of a frame ring: neither a double buffer (0) nor too small to tell (1).
inline constexpr std::uint32_t ring_buffer_type = 2;
/// "ZRNG", after the type word: a ring written by this layout.
inline constexpr std::uint32_t ring_magic = 0x474e525a;
inline constexpr std::uint32_t ring_layout_version = 1;

inline constexpr std::uint32_t max_planes = 4;
inline constexpr std::uint32_t max_slots = 256;
inline constexpr std::uint32_t max_readers = 64;
inline constexpr std::uint32_t max_leases_per_reader = 16;
inline constexpr std::uint64_t max_metadata_bytes = 1u << 20;
inline constexpr std::size_t format_name_bytes = 16;
inline constexpr std::size_t caps_bytes = 512;
inline constexpr std::uint64_t page_bytes = 4096;

/// `newest_slot` before the first publication.
inline constexpr std::uint32_t no_slot = 0xffffffffu;

struct plane_record {
    std::uint64_t offset; ///< from the start of the slot
    std::uint64_t stride; ///< bytes from one row to the next
};

/// Page 0 of the object. The fields up to `frame_count` sit where a double buffer keeps them, so
/// that supervisors read owner, size and count of either kind alike.
struct ring_header {
    std::uint32_t buffer_type;                ///< ring_buffer_type
    std::uint32_t newest_slot;                ///< slot of the newest frame, or no_slot
    boost::posix_time::ptime last_write_time; ///< local time of the newest publication
    std::uint32_t width;                      ///< pixels
    std::uint32_t height;                     ///< pixels
    pid_t owner_pid;                          ///< the writer; 0 for none
    std::uint32_t version;                    ///< ring_layout_version
    std::uint64_t frame_count;                ///< publications since creation; readers sleep on it
    std::uint32_t magic;                      ///< ring_magic
    std::uint32_t header_bytes;               ///< offset of slot 0: header, slot records, readers
    std::uint64_t slot_bytes;                 ///< distance from one slot to the next
    std::uint64_t total_bytes;                ///< size of the whole object
    std::uint32_t slot_count;                 ///< N
    std::uint32_t reader_count;               ///< R: entries in the reader table
    std::uint32_t leases_per_reader;          ///< L
    std::uint32_t plane_count;                ///< 1 to max_planes
    std::uint64_t frame_bytes;                ///< bytes of one frame from the start of its slot
    std::uint64_t metadata_offset;            ///< where each slot's user metadata starts
    std::uint64_t metadata_capacity;          ///< bytes of user metadata a slot holds
    std::uint64_t owner_start_time;           ///< the writer's start, in clock ticks since boot
    plane_record planes[max_planes];          ///< layout shared by every frame of the ring
    char format[format_name_bytes];           ///< the raw video format's name, NUL-terminated
    char caps[caps_bytes];                    ///< the frames' caps, NUL-terminated
};

static_assert(std::is_standard_layout_v<ring_header>);
static_assert(std::is_trivially_copyable_v<ring_header>);
static_assert(offsetof(ring_header, buffer_type) == 0);
static_assert(offsetof(ring_header, newest_slot) == 4);
static_assert(offsetof(ring_header, last_write_time) == 8);
static_assert(offsetof(ring_header, width) == 16);
static_assert(offsetof(ring_header, height) == 20);
static_assert(offsetof(ring_header, owner_pid) == 24);
static_assert(offsetof(ring_header, version) == 28);
static_assert(offsetof(ring_header, frame_count) == 32);
static_assert(offsetof(ring_header, magic) == 40);
static_assert(offsetof(ring_header, header_bytes) == 44);
static_assert(offsetof(ring_header, slot_bytes) == 48);
static_assert(offsetof(ring_header, total_bytes) == 56);
static_assert(offsetof(ring_header, slot_count) == 64);
static_assert(offsetof(ring_header, reader_count) == 68);
static_assert(offsetof(ring_header, leases_per_reader) == 72);
static_assert(offsetof(ring_header, plane_count) == 76);
static_assert(offsetof(ring_header, frame_bytes) == 80);
static_assert(offsetof(ring_header, metadata_offset) == 88);
static_assert(offsetof(ring_header, metadata_capacity) == 96);
static_assert(offsetof(ring_header, owner_start_time) == 104);
static_assert(offsetof(ring_header, planes) == 112);
static_assert(offsetof(ring_header, format) == 176);
static_assert(offsetof(ring_header, caps) == 192);
static_assert(sizeof(ring_header) == 704);

/// What a reader needs of one frame, beside its slot. `sequence` is the slot's seqlock: odd
/// while the writer fills the slot, even once the frame is whole; it only grows. Generation =
/// sequence / 2.
struct slot_record {
    std::uint64_t sequence;
    std::uint64_t frame_number;  ///< frame_count after this frame's publication
    std::int64_t pts_ns;         ///< CLOCK_MONOTONIC; -1 unknown
    std::int64_t duration_ns;    ///< -1 unknown
    std::uint64_t metadata_size; ///< bytes of user metadata
    std::uint32_t flags;
    std::uint32_t reserved;
    boost::posix_time::ptime written; ///< local time of publication
    std::uint64_t reserved2;
};

static_assert(std::is_standard_layout_v<slot_record>);
static_assert(std::is_trivially_copyable_v<slot_record>);
static_assert(offsetof(slot_record, sequence) == 0);
static_assert(offsetof(slot_record, frame_number) == 8);
static_assert(offsetof(slot_record, pts_ns) == 16);
static_assert(offsetof(slot_record, duration_ns) == 24);
static_assert(offsetof(slot_record, metadata_size) == 32);
static_assert(offsetof(slot_record, flags) == 40);
static_assert(offsetof(slot_record, written) == 48);
static_assert(sizeof(slot_record) == 64);

// The reader table follows the slot records: reader_count entries of 1 + leases_per_reader
// words. The first word names the reader (owner_word), the others one lease each (lease_word).
// Each is written whole with one atomic store, so a reader that dies mid-way tears none.

/// A reader entry's owner: pid in bits 0-31, the low 31 bits of its start time above, bit 63
/// set while a reclaimer clears the entry of a reader that died. 0: a free entry.
inline constexpr std::uint64_t reclaiming_bit = std::uint64_t{1} << 63;
inline std::uint64_t owner_word(pid_t pid, std::uint64_t start_time) {
    return static_cast<std::uint32_t>(pid) | ((start_time & 0x7fffffffu) << 32);
}
inline pid_t owner_pid(std::uint64_t word) {
    return static_cast<pid_t>(static_cast<std::uint32_t>(word));
}
inline std::uint64_t owner_start(std::uint64_t word) {
    return (word >> 32) & 0x7fffffffu;
}

/// A lease: slot + 1 in the low 16 bits, the slot's generation in the 48 above. 0: no lease.
inline std::uint64_t lease_word(std::uint32_t slot, std::uint64_t generation) {
    return (generation << 16) | (slot + 1);
}
inline std::uint32_t leased_slot(std::uint64_t word) {
    return static_cast<std::uint32_t>(word & 0xffffu) - 1;
}
inline std::uint64_t leased_generation(std::uint64_t word) {
    return word >> 16;
}

/// The sizes that follow from a ring's counts and frame; all offsets are from the object's start.
struct ring_geometry {
    std::uint64_t slot_table = sizeof(ring_header);
    std::uint64_t reader_table = 0;
    std::uint64_t header_bytes = 0;
    std::uint64_t metadata_offset = 0;
    std::uint64_t slot_bytes = 0;
    std::uint64_t total_bytes = 0;
};

inline bool round_up_to_page(std::uint64_t value, std::uint64_t& rounded) {
    return !__builtin_add_overflow(value, page_bytes - 1, &rounded) &&
           ((rounded &= ~(page_bytes - 1)), true);
}

/// The geometry of a ring of these counts, or false when any count is out of range or a size
/// overflows. Slots start on page boundaries, so each can be mapped and lent on its own.
inline bool compute_geometry(std::uint32_t slots, std::uint32_t readers, std::uint32_t leases,
                             std::uint64_t frame_bytes, std::uint64_t metadata_capacity,
                             ring_geometry& geometry) {
    if (slots < 2 || slots > max_slots || readers > max_readers || leases > max_leases_per_reader ||
        frame_bytes == 0 || metadata_capacity > max_metadata_bytes || frame_bytes > (1ull << 40)) {
        return false;
    }
    geometry.reader_table = geometry.slot_table + std::uint64_t{slots} * sizeof(slot_record);
    const std::uint64_t reader_words = std::uint64_t{readers} * (1 + leases);
    if (!round_up_to_page(geometry.reader_table + reader_words * 8, geometry.header_bytes)) {
        return false;
    }
    // Metadata after the pixels, cache-line aligned.
    geometry.metadata_offset = (frame_bytes + 63) & ~std::uint64_t{63};
    if (!round_up_to_page(geometry.metadata_offset + metadata_capacity, geometry.slot_bytes)) {
        return false;
    }
    std::uint64_t all_slots = 0;
    return !__builtin_mul_overflow(geometry.slot_bytes, std::uint64_t{slots}, &all_slots) &&
           !__builtin_add_overflow(all_slots, geometry.header_bytes, &geometry.total_bytes) &&
           geometry.header_bytes <= 0xffffffffu;
}

/// Whether `header` describes a ring of exactly `object_bytes`: a ring of this layout, every count
/// in range and every size it states the one its counts give. Fills `geometry` from the counts;
/// nothing else of a header is to be used before this holds.
inline bool header_matches_object(const ring_header& header, std::uint64_t object_bytes,
                                  ring_geometry& geometry) {
    return header.buffer_type == ring_buffer_type && header.magic == ring_magic &&
           header.version == ring_layout_version &&
           compute_geometry(header.slot_count, header.reader_count, header.leases_per_reader,
                            header.frame_bytes, header.metadata_capacity, geometry) &&
           geometry.header_bytes == header.header_bytes &&
           geometry.slot_bytes == header.slot_bytes &&
           geometry.metadata_offset == header.metadata_offset &&
           geometry.total_bytes == header.total_bytes && geometry.total_bytes == object_bytes;
}

} // namespace zorvgst::detail::ring
