// Overflow-aware double buffer size, for dimensions that come from callers or shared headers.
#pragma once

#include <cstdint>

namespace zorvgst::detail {

// Same value as compute_size, but reports instead of wrapping: a wrapped size would map a
// region far smaller than the slots addressed through it.
inline bool checked_buffer_size(std::uint64_t width, std::uint64_t height, std::uint64_t& size) {
    std::uint64_t pixels = 0;
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(width, height, &pixels) ||
        __builtin_mul_overflow(pixels, std::uint64_t{8}, &bytes) ||
        __builtin_add_overflow(bytes, std::uint64_t{40}, &size)) {
        return false;
    }
    return true;
}

} // namespace zorvgst::detail
