// Frame copies between memory whose rows may be padded and the packed slots of a double buffer.
#pragma once

#include <cstddef>

#include <glib.h>

namespace zorvplugin {

/// Copies width x height BGRA pixels; each side's rows start `stride` bytes apart.
void copy_frame(const guint8* src, std::size_t src_stride, guint8* dst, std::size_t dst_stride,
                guint width, guint height);

} // namespace zorvplugin
