// Frame copies for the elements.
#include "frame_copy.h"
#include <cstring>

namespace zorvplugin {

// Interim row copy until the library's render functions are available to the plugin.
void copy_frame(const guint8* src, std::size_t src_stride, guint8* dst, std::size_t dst_stride,
                guint width, guint height) {
    const std::size_t row_bytes = static_cast<std::size_t>(width) * 4;
    if (src_stride == row_bytes && dst_stride == row_bytes) {
        std::memcpy(dst, src, row_bytes * height);
        return;
    }
    for (guint row = 0; row < height; ++row) {
        std::memcpy(dst + row * dst_stride, src + row * src_stride, row_bytes);
    }
}

} // namespace zorvplugin
