// Frame copies for the elements, through the library's copy routine.
#include "frame_copy.h"
#include <cstdint>

#include <zorvgst/zorvgst.h>

namespace zorvplugin {

void copy_frame(const guint8* src, std::size_t src_stride, guint8* dst, std::size_t dst_stride,
                guint width, guint height) {
    const std::size_t row_bytes = static_cast<std::size_t>(width) * 4;
    // The library's routine counts bytes in 32 bits and takes a packed source; a destination
    // stride of whole pixels is its dst_width.
    const bool fits_32_bits = static_cast<std::uint64_t>(dst_stride) * height <= UINT32_MAX;
    if (src_stride == row_bytes && dst_stride % 4 == 0 && fits_32_bits) {
        render(src, dst, width, height, 0, 0, static_cast<uint>(dst_stride / 4));
        return;
    }
    for (guint row = 0; row < height; ++row) {
        render(src + row * src_stride, dst + row * dst_stride, width, 1, 0, 0, width);
    }
}

} // namespace zorvplugin
