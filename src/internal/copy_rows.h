// SPDX-License-Identifier: LGPL-2.1-or-later
// Moving rows of pixels between memory of different row strides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zorvgst::detail {

/// Copies `rows` rows of `row_bytes` each from `src` (rows `src_stride` bytes apart) to `dst`
/// (rows `dst_stride` bytes apart). Rows that follow each other at both ends go in one copy,
/// which is markedly faster than a copy per row for full frames.
inline void copy_rows(std::uint8_t* dst, std::size_t dst_stride, const std::uint8_t* src,
                      std::size_t src_stride, std::size_t row_bytes, std::size_t rows) {
    if (rows == 0 || row_bytes == 0) {
        return;
    }
    if (src_stride == row_bytes && dst_stride == row_bytes) {
        std::memcpy(dst, src, row_bytes * rows);
        return;
    }
    for (std::size_t row = 0; row < rows; ++row) {
        std::memcpy(dst + row * dst_stride, src + row * src_stride, row_bytes);
    }
}

} // namespace zorvgst::detail
