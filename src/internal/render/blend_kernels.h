// SPDX-License-Identifier: LGPL-2.1-or-later
// Row kernels of the overlay blend: a portable one, SSE2 and AVX2, all bit-exact to each other.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorvgst::detail {

/// Blends `pixels` BGRA pixels of `overlay` over `base` into `dst`: per colour byte
/// floor((b * (255 - a) + o * a) / 255), a the overlay's alpha, alpha byte from the base.
/// Pointers need no alignment; `dst` must not overlap the sources.
using blend_row_fn = void (*)(const std::uint8_t* base, const std::uint8_t* overlay,
                              std::uint8_t* dst, std::size_t pixels);

void blend_row_scalar(const std::uint8_t* base, const std::uint8_t* overlay, std::uint8_t* dst,
                      std::size_t pixels);
void blend_row_sse2(const std::uint8_t* base, const std::uint8_t* overlay, std::uint8_t* dst,
                    std::size_t pixels);
/// Only to be called where `cpu_has_avx2()` holds.
void blend_row_avx2(const std::uint8_t* base, const std::uint8_t* overlay, std::uint8_t* dst,
                    std::size_t pixels);

bool cpu_has_avx2();

/// The fastest kernel this CPU runs; chosen once per process.
blend_row_fn best_blend_row();

} // namespace zorvgst::detail
