// SPDX-License-Identifier: LGPL-2.1-or-later
// Frame formats by their GStreamer names: default layouts, plane sizes, caps.
#include <algorithm>
#include <ctime>

#include <gst/video/video.h>

#include <zorvgst/frame_format.h>
#include <zorvgst/frames.h>

namespace zorvgst {

namespace {

const GstVideoFormatInfo* look_up_raw_format(const std::string& name) {
    const GstVideoFormat format = gst_video_format_from_string(name.c_str());
    if (format == GST_VIDEO_FORMAT_UNKNOWN || format == GST_VIDEO_FORMAT_ENCODED) {
        return nullptr;
    }
    const GstVideoFormatInfo* info = gst_video_format_get_info(format);
    // Tiled formats have no rows to describe with a stride.
    if (info == nullptr || GST_VIDEO_FORMAT_INFO_IS_TILED(info)) {
        return nullptr;
    }
    return info;
}

/// GStreamer finds a format by comparing its name with every name it knows; writers and readers
/// ask for the same one frame after frame, so each thread keeps the last answer.
const GstVideoFormatInfo* raw_format_info(const std::string& name) {
    thread_local std::string last_name;
    thread_local const GstVideoFormatInfo* last_info = nullptr;
    if (last_info == nullptr || name != last_name) {
        last_info = look_up_raw_format(name);
        last_name = name;
    }
    return last_info;
}

const GstVideoFormatInfo& checked_format_info(const std::string& name, unsigned width,
                                              unsigned height) {
    const GstVideoFormatInfo* info = raw_format_info(name);
    if (info == nullptr) {
        throw error(error_code::invalid_format, "'" + name + "' is no raw video format");
    }
    if (width == 0 || height == 0 || width > max_frame_dimension || height > max_frame_dimension) {
        throw error(error_code::invalid_format, "frame size " + std::to_string(width) + "x" +
                                                    std::to_string(height) + " outside 1.." +
                                                    std::to_string(max_frame_dimension));
    }
    return *info;
}

GstVideoInfo default_info(const GstVideoFormatInfo& format, unsigned width, unsigned height) {
    GstVideoInfo info;
    gst_video_info_init(&info);
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_INFO_FORMAT(&format), width, height);
    return info;
}

} // namespace

frame_format frame_format::of(const std::string& name, unsigned width, unsigned height) {
    const GstVideoFormatInfo& format = checked_format_info(name, width, height);
    const GstVideoInfo info = default_info(format, width, height);
    frame_format described;
    described.name = name;
    described.width = width;
    described.height = height;
    described.planes = GST_VIDEO_INFO_N_PLANES(&info);
    for (unsigned i = 0; i < described.planes; ++i) {
        described.plane[i].offset = GST_VIDEO_INFO_PLANE_OFFSET(&info, i);
        described.plane[i].stride = static_cast<std::size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&info, i));
    }
    described.size = GST_VIDEO_INFO_SIZE(&info);
    return described;
}

frame_format frame_format::with_strides(const std::string& name, unsigned width, unsigned height,
                                        const std::array<std::size_t, max_frame_planes>& strides) {
    frame_format described = of(name, width, height);
    std::size_t offset = 0;
    for (unsigned i = 0; i < described.planes; ++i) {
        if (strides[i] < described.row_bytes(i)) {
            throw error(error_code::invalid_format,
                        "rows of plane " + std::to_string(i) + " of a " + name + " frame " +
                            std::to_string(width) + " pixels wide need " +
                            std::to_string(described.row_bytes(i)) + " bytes, not " +
                            std::to_string(strides[i]));
        }
        described.plane[i].offset = offset;
        described.plane[i].stride = strides[i];
        offset += strides[i] * described.plane_height(i);
    }
    described.size = offset;
    return described;
}

unsigned frame_format::plane_height(unsigned index) const {
    const GstVideoFormatInfo* info = raw_format_info(name);
    if (info == nullptr || index >= GST_VIDEO_FORMAT_INFO_N_PLANES(info)) {
        return 0;
    }
    for (unsigned component = 0; component < GST_VIDEO_FORMAT_INFO_N_COMPONENTS(info);
         ++component) {
        if (GST_VIDEO_FORMAT_INFO_PLANE(info, component) == index) {
            return GST_VIDEO_FORMAT_INFO_SCALE_HEIGHT(info, component, height);
        }
    }
    return height;
}

std::size_t frame_format::row_bytes(unsigned index) const {
    const GstVideoFormatInfo* info = raw_format_info(name);
    if (info == nullptr || index >= GST_VIDEO_FORMAT_INFO_N_PLANES(info)) {
        return 0;
    }
    std::size_t bytes = 0;
    bool described = false;
    for (unsigned component = 0; component < GST_VIDEO_FORMAT_INFO_N_COMPONENTS(info);
         ++component) {
        const int pixel_stride = GST_VIDEO_FORMAT_INFO_PSTRIDE(info, component);
        if (GST_VIDEO_FORMAT_INFO_PLANE(info, component) != index || pixel_stride <= 0) {
            continue;
        }
        const auto scaled =
            static_cast<std::size_t>(GST_VIDEO_FORMAT_INFO_SCALE_WIDTH(info, component, width));
        // Whole pixels: the padding byte of BGRx belongs to its row as much as the others.
        const std::size_t sample_bytes =
            std::max<std::size_t>(1, (GST_VIDEO_FORMAT_INFO_DEPTH(info, component) + 7) / 8);
        const std::size_t last_sample_end = (scaled - 1) * static_cast<std::size_t>(pixel_stride) +
                                            GST_VIDEO_FORMAT_INFO_POFFSET(info, component) +
                                            sample_bytes;
        bytes = std::max({bytes, scaled * static_cast<std::size_t>(pixel_stride), last_sample_end});
        described = true;
    }
    if (!described) {
        // Packed sub-byte and other unusual formats: the stride GStreamer itself would give.
        const GstVideoInfo info_default = default_info(*info, width, height);
        return static_cast<std::size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&info_default, index));
    }
    return bytes;
}

bool frame_format::consistent() const {
    const GstVideoFormatInfo* info = raw_format_info(name);
    if (info == nullptr || width == 0 || height == 0 || width > max_frame_dimension ||
        height > max_frame_dimension || planes != GST_VIDEO_FORMAT_INFO_N_PLANES(info) ||
        planes > max_frame_planes) {
        return false;
    }
    for (unsigned i = 0; i < planes; ++i) {
        const std::size_t rows = plane_height(i);
        const std::size_t row = row_bytes(i);
        const plane_layout& layout = plane[i];
        std::size_t end = 0;
        if (rows == 0 || row == 0 || layout.stride < row ||
            __builtin_mul_overflow(layout.stride, rows - 1, &end) ||
            __builtin_add_overflow(end, row, &end) ||
            __builtin_add_overflow(end, layout.offset, &end) || end > size) {
            return false;
        }
    }
    return true;
}

std::string frame_format::caps() const {
    // Written out rather than made by GStreamer: caps objects need an initialised GStreamer,
    // which hosts of the frame API do not have to have.
    if (raw_format_info(name) == nullptr) {
        return std::string();
    }
    return "video/x-raw, format=(string)" + name + ", width=(int)" + std::to_string(width) +
           ", height=(int)" + std::to_string(height) +
           ", interlace-mode=(string)progressive, pixel-aspect-ratio=(fraction)1/1";
}

bool frame_format::operator==(const frame_format& other) const {
    if (name != other.name || width != other.width || height != other.height ||
        planes != other.planes || size != other.size) {
        return false;
    }
    for (unsigned i = 0; i < planes && i < max_frame_planes; ++i) {
        if (plane[i].offset != other.plane[i].offset || plane[i].stride != other.plane[i].stride) {
            return false;
        }
    }
    return true;
}

std::int64_t monotonic_now_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace zorvgst
