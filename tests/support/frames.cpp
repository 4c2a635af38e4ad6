// SPDX-License-Identifier: LGPL-2.1-or-later
// Frame helpers for pixel tests.
#include "support/frames.h"
#include <algorithm>
#include <cstring>
#include <sstream>

namespace zorvtest {

std::vector<std::uint8_t> pattern_bytes(std::size_t bytes, unsigned seed) {
    std::vector<std::uint8_t> out(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        out[i] = static_cast<std::uint8_t>(i * 7 + seed * 31 + (i >> 8) + 1);
    }
    return out;
}

std::vector<std::uint8_t> filled_bytes(std::size_t bytes, std::uint8_t value) {
    return std::vector<std::uint8_t>(bytes, value);
}

std::vector<std::uint8_t> uniform_frame(unsigned width, unsigned height, std::size_t stride,
                                        std::uint8_t value) {
    std::vector<std::uint8_t> pixels(stride * height, 0xEE);
    for (unsigned y = 0; y < height; ++y) {
        std::memset(pixels.data() + y * stride, value, std::size_t{width} * 4);
    }
    return pixels;
}

bool rows_hold(const std::uint8_t* pixels, unsigned width, unsigned height, std::size_t stride,
               std::uint8_t value) {
    for (unsigned y = 0; y < height; ++y) {
        const std::uint8_t* row = pixels + y * stride;
        if (std::any_of(row, row + std::size_t{width} * 4,
                        [value](std::uint8_t byte) { return byte != value; })) {
            return false;
        }
    }
    return true;
}

void place_rectangle(const std::vector<std::uint8_t>& src, std::uint32_t src_width,
                     std::uint32_t src_x, std::uint32_t src_y, std::uint32_t rect_width,
                     std::uint32_t rect_height, std::vector<std::uint8_t>& dst, std::uint32_t x,
                     std::uint32_t y, std::uint32_t dst_width) {
    for (std::uint32_t r = 0; r < rect_height; ++r) {
        for (std::uint32_t c = 0; c < rect_width; ++c) {
            for (std::uint32_t b = 0; b < 4; ++b) {
                const std::size_t from = ((std::size_t{src_y} + r) * src_width + src_x + c) * 4 + b;
                const std::size_t to = ((std::size_t{y} + r) * dst_width + x + c) * 4 + b;
                dst.at(to) = src.at(from);
            }
        }
    }
}

placement placement_of(std::uint32_t width, std::uint32_t height, unsigned seed, std::uint32_t x,
                       std::uint32_t y, std::uint32_t dst_width, std::uint32_t dst_height,
                       const margins& cropped) {
    placement frames;
    frames.src = pattern_bytes(std::size_t{width} * height * 4, seed);
    frames.dst = filled_bytes(std::size_t{dst_width} * dst_height * 4);
    frames.expected = frames.dst;
    place_rectangle(frames.src, width, cropped.left, cropped.top,
                    width - cropped.left - cropped.right, height - cropped.top - cropped.bottom,
                    frames.expected, x, y, dst_width);
    return frames;
}

std::string first_difference(const std::vector<std::uint8_t>& actual,
                             const std::vector<std::uint8_t>& expected) {
    std::ostringstream out;
    if (actual.size() != expected.size()) {
        out << "size " << actual.size() << " != " << expected.size();
        return out.str();
    }
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (actual[i] != expected[i]) {
            out << "byte " << i << " (pixel " << i / 4 << ", channel " << i % 4
                << "): " << int{actual[i]} << " != expected " << int{expected[i]};
            return out.str();
        }
    }
    return "";
}

} // namespace zorvtest
