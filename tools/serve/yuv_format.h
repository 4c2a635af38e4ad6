// SPDX-License-Identifier: LGPL-2.1-or-later
// Which raw formats carry luma and chroma, for the encoders that must give JPEG full-range YUV.
#pragma once

#include <string>

namespace zorvgst_serve {

/// Whether the raw video format `name` (GStreamer's name) is YUV. JPEG decoders read YUV as full
/// range, while the frames of most YUV formats are limited range, and videoconvert leaves the
/// range alone when it converts YUV of one matrix to YUV of the same: such frames go through RGB
/// on their way to a JPEG encoder, or come out washed out.
bool is_yuv_format(const std::string& name);

} // namespace zorvgst_serve
