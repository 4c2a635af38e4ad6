// SPDX-License-Identifier: LGPL-2.1-or-later
// Size and slot offsets of a double buffer region, checked against what is really mapped.
#pragma once

#include <cstdint>

#include "internal/shm_access.h"

namespace zorvgst::detail {

/// Bytes before slot 0: the header of either backend (both keep it at 40 bytes).
constexpr std::uint64_t double_buffer_header_bytes = 40;

/// Header plus two slots of `width` x `height` BGRA pixels, or false when that does not fit in
/// 64 bits: a wrapped size would map a region far smaller than the slots addressed through it.
inline bool checked_buffer_size(std::uint64_t width, std::uint64_t height, std::uint64_t& size) {
    std::uint64_t pixels = 0;
    std::uint64_t slot_bytes = 0;
    return !__builtin_mul_overflow(width, height, &pixels) &&
           !__builtin_mul_overflow(pixels, std::uint64_t{8}, &slot_bytes) &&
           !__builtin_add_overflow(slot_bytes, double_buffer_header_bytes, &size);
}

/// Whether the header and both slots of `width` x `height` frames lie inside `mapped_bytes`.
/// Dimensions come from callers or from other processes' headers and are never trusted alone.
inline bool slots_fit(std::uint64_t width, std::uint64_t height, std::uint64_t mapped_bytes) {
    std::uint64_t needed = 0;
    return checked_buffer_size(width, height, needed) && needed <= mapped_bytes;
}

/// A slot picked from the shared indicator, as an offset from the start of the mapping.
struct slot_choice {
    bool fits = false;           ///< false: the slots do not lie inside the mapping; no offset
    bool indicator_valid = true; ///< false: the indicator was neither 0 nor 1
    std::uint32_t indicator = 0; ///< the value read, for the caller's log line
    std::uint64_t offset = 0;
};

namespace slots {

// Both address operations: read the indicator once (the writer flips it concurrently), then
// pick the slot it names for reading or the other one for writing. Nothing is read or written
// when the slots do not fit in the mapping.
inline slot_choice choose(std::uint32_t& indicator_field, bool for_writing, bool may_repair,
                          std::uint64_t width, std::uint64_t height, std::uint64_t mapped_bytes) {
    slot_choice choice;
    choice.fits = slots_fit(width, height, mapped_bytes);
    if (!choice.fits) {
        return choice;
    }
    const std::uint64_t slot0 = double_buffer_header_bytes;
    const std::uint64_t slot1 = slot0 + width * height * 4;
    choice.indicator = load_acquire(indicator_field);
    choice.indicator_valid = choice.indicator <= 1;
    if (choice.indicator_valid) {
        // Readers take the slot the indicator names, writers the other one.
        const bool names_slot1 = choice.indicator == 1;
        choice.offset = names_slot1 != for_writing ? slot1 : slot0;
        return choice;
    }
    choice.offset = for_writing ? slot1 : slot0;
    if (may_repair) {
        store_release(indicator_field, std::uint32_t{0});
    }
    return choice;
}

} // namespace slots

/// The slot holding the newest frame. An indicator other than 0 or 1 gives slot 0, and is reset
/// to 0 where `may_repair` (a read-only mapping cannot be repaired).
inline slot_choice choose_read_slot(std::uint32_t& indicator_field, bool may_repair,
                                    std::uint64_t width, std::uint64_t height,
                                    std::uint64_t mapped_bytes) {
    return slots::choose(indicator_field, false, may_repair, width, height, mapped_bytes);
}

/// The slot readers are not reading. An indicator other than 0 or 1 gives slot 1 and is reset
/// to 0, so the next publication names the slot written now.
inline slot_choice choose_write_slot(std::uint32_t& indicator_field, std::uint64_t width,
                                     std::uint64_t height, std::uint64_t mapped_bytes) {
    return slots::choose(indicator_field, true, true, width, height, mapped_bytes);
}

} // namespace zorvgst::detail
