// Frame helpers for pixel tests: recognisable patterns and a reference placement of a rectangle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zorvtest {

/// `bytes` bytes where neighbours differ and different seeds give different contents.
std::vector<std::uint8_t> pattern_bytes(std::size_t bytes, unsigned seed);

/// `bytes` bytes all equal to `value`: a destination whose untouched bytes are easy to spot.
std::vector<std::uint8_t> filled_bytes(std::size_t bytes, std::uint8_t value = 0xEE);

/// Copies the `rect_width` x `rect_height` pixel rectangle of a BGRA frame `src_width` pixels
/// wide, starting at (`src_x`, `src_y`), to (`x`, `y`) of `dst` (`dst_width` pixels wide),
/// pixel by pixel: the model the optimised copies are checked against.
void place_rectangle(const std::vector<std::uint8_t>& src, std::uint32_t src_width,
                     std::uint32_t src_x, std::uint32_t src_y, std::uint32_t rect_width,
                     std::uint32_t rect_height, std::vector<std::uint8_t>& dst, std::uint32_t x,
                     std::uint32_t y, std::uint32_t dst_width);

/// Index and values of the first differing byte, or "" when both are equal (sizes included).
std::string first_difference(const std::vector<std::uint8_t>& actual,
                             const std::vector<std::uint8_t>& expected);

} // namespace zorvtest
