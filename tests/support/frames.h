// SPDX-License-Identifier: LGPL-2.1-or-later
// Frame helpers for pixel tests: recognisable patterns, uniform frames with any stride, a
// reference placement of a rectangle, and frames taken from a reader either way it offers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <zorvgst/frames.h>

namespace zorvtest {

/// `bytes` bytes where neighbours differ and different seeds give different contents.
std::vector<std::uint8_t> pattern_bytes(std::size_t bytes, unsigned seed);

/// `bytes` bytes all equal to `value`: a destination whose untouched bytes are easy to spot.
std::vector<std::uint8_t> filled_bytes(std::size_t bytes, std::uint8_t value = 0xEE);

/// A `width` x `height` BGRA frame whose every pixel byte is `value`, rows `stride` bytes apart
/// with 0xEE in the bytes between them.
std::vector<std::uint8_t> uniform_frame(unsigned width, unsigned height, std::size_t stride,
                                        std::uint8_t value);

/// Whether every pixel byte of the frame at `pixels` (rows `stride` bytes apart) is `value`.
bool rows_hold(const std::uint8_t* pixels, unsigned width, unsigned height, std::size_t stride,
               std::uint8_t value);

/// Copies the `rect_width` x `rect_height` pixel rectangle of a BGRA frame `src_width` pixels
/// wide, starting at (`src_x`, `src_y`), to (`x`, `y`) of `dst` (`dst_width` pixels wide),
/// pixel by pixel: the model the optimised copies are checked against.
void place_rectangle(const std::vector<std::uint8_t>& src, std::uint32_t src_width,
                     std::uint32_t src_x, std::uint32_t src_y, std::uint32_t rect_width,
                     std::uint32_t rect_height, std::vector<std::uint8_t>& dst, std::uint32_t x,
                     std::uint32_t y, std::uint32_t dst_width);

/// What a copy of a pattern frame into a larger destination starts from and must end with.
struct placement {
    std::vector<std::uint8_t> src;      ///< the source frame, a pattern
    std::vector<std::uint8_t> dst;      ///< the destination, all 0xEE, for the code under test
    std::vector<std::uint8_t> expected; ///< the destination once the kept rectangle is placed
};

/// Margins of a source frame that a copy leaves out.
struct margins {
    std::uint32_t left = 0, right = 0, top = 0, bottom = 0;
};

/// A `width` x `height` pattern frame (from `seed`) whose rectangle inside `cropped` goes to
/// (`x`, `y`) of a `dst_width` x `dst_height` destination.
placement placement_of(std::uint32_t width, std::uint32_t height, unsigned seed, std::uint32_t x,
                       std::uint32_t y, std::uint32_t dst_width, std::uint32_t dst_height,
                       const margins& cropped = {});

/// Index and values of the first differing byte, or "" when both are equal (sizes included).
std::string first_difference(const std::vector<std::uint8_t>& actual,
                             const std::vector<std::uint8_t>& expected);

/// A frame taken from a reader, and whether its pixels passed the caller's check.
struct taken_frame {
    zorvgst::frame_info info;
    bool passed = false;
};

/// Takes the newest frame of `reader`, by copy into `copy` (rows `stride` bytes apart) or,
/// `in_place`, where it lies in shared memory, and runs `check(pixels, stride, info)` on it.
/// Nothing when there is no frame or the writer overtook the reader.
template <typename Check>
std::optional<taken_frame> take_frame(zorvgst::frame_reader& reader, bool in_place,
                                      std::vector<std::uint8_t>& copy, std::size_t stride,
                                      Check&& check) {
    taken_frame taken;
    std::optional<zorvgst::frame_info> info;
    if (in_place) {
        info = reader.view([&](const std::uint8_t* pixels, std::size_t view_stride,
                               const zorvgst::frame_info& seen) {
            taken.passed = check(pixels, view_stride, seen);
        });
    } else {
        info = reader.read(copy.data(), stride, copy.size());
        taken.passed = info && check(copy.data(), stride, *info);
    }
    if (!info) {
        return std::nullopt;
    }
    taken.info = *info;
    return taken;
}

} // namespace zorvtest
