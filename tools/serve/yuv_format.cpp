// SPDX-License-Identifier: LGPL-2.1-or-later
// Telling YUV formats from the others by GStreamer's format table.
#include "yuv_format.h"

#include <gst/video/video.h>

namespace zorvgst_serve {

bool is_yuv_format(const std::string& name) {
    const GstVideoFormat format = gst_video_format_from_string(name.c_str());
    if (format == GST_VIDEO_FORMAT_UNKNOWN) {
        return false;
    }
    const GstVideoFormatInfo* info = gst_video_format_get_info(format);
    return info != nullptr && GST_VIDEO_FORMAT_INFO_IS_YUV(info);
}

} // namespace zorvgst_serve
