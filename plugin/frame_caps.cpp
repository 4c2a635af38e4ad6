// SPDX-License-Identifier: LGPL-2.1-or-later
// The pad templates of both elements and the frame layout of negotiated caps.
#include "frame_caps.h"

#include <zorvgst/frames.h>
#include <zorvgst/zorvgst.h>

namespace zorvplugin {

namespace {

// Whether frames of `format` fit a ring: rows a stride describes, and a layout the library
// accepts (checked once, at a size that exercises subsampling).
bool ring_can_hold(GstVideoFormat format) {
    const GstVideoFormatInfo* info = gst_video_format_get_info(format);
    if (info == nullptr || GST_VIDEO_FORMAT_INFO_IS_TILED(info) ||
        GST_VIDEO_FORMAT_INFO_HAS_PALETTE(info)) {
        return false;
    }
    try {
        return zorvgst::frame_format::of(gst_video_format_to_string(format), 33, 17).consistent();
    } catch (const zorvgst::error&) {
        return false;
    }
}

GstCaps* sized_caps(GstCaps* caps) {
    gst_caps_set_simple(caps, "width", GST_TYPE_INT_RANGE, 1,
                        static_cast<int>(zorvgst::max_frame_dimension), "height",
                        GST_TYPE_INT_RANGE, 1, static_cast<int>(zorvgst::max_frame_dimension),
                        "framerate", GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1, nullptr);
    return caps;
}

} // namespace

GstCaps* bgra_frame_caps() {
    return sized_caps(gst_caps_from_string(COLORSPACE_CAPS_STRING));
}

GstCaps* any_frame_caps() {
    // Built once: every caps query of both elements starts from it.
    static GstCaps* const caps = [] {
        GstCaps* made = bgra_frame_caps();
        GValue formats = G_VALUE_INIT;
        gst_value_list_init(&formats, 0);
        GValue name = G_VALUE_INIT;
        g_value_init(&name, G_TYPE_STRING);
        // BGRA first: upstream that can produce anything keeps producing the double buffer's
        // format, as it did before rings existed.
        g_value_set_static_string(&name, "BGRA");
        gst_value_list_append_value(&formats, &name);
        guint count = 0;
        const GstVideoFormat* all = gst_video_formats_raw(&count);
        for (guint i = 0; i < count; ++i) {
            if (all[i] != GST_VIDEO_FORMAT_BGRA && ring_can_hold(all[i])) {
                g_value_set_static_string(&name, gst_video_format_to_string(all[i]));
                gst_value_list_append_value(&formats, &name);
            }
        }
        g_value_unset(&name);
        gst_caps_set_value(made, "format", &formats);
        g_value_unset(&formats);
        GST_MINI_OBJECT_FLAG_SET(made, GST_MINI_OBJECT_FLAG_MAY_BE_LEAKED);
        return made;
    }();
    return gst_caps_ref(caps);
}

void add_frame_pad_template(GstElementClass* klass, const char* name, GstPadDirection direction) {
    GstCaps* caps = any_frame_caps();
    gst_element_class_add_pad_template(klass,
                                       gst_pad_template_new(name, direction, GST_PAD_ALWAYS, caps));
    gst_caps_unref(caps);
}

std::optional<zorvgst::frame_format> frame_format_of(const GstVideoInfo& info) {
    const GstVideoFormat video_format = GST_VIDEO_INFO_FORMAT(&info);
    if (video_format == GST_VIDEO_FORMAT_UNKNOWN || video_format == GST_VIDEO_FORMAT_ENCODED) {
        return std::nullopt;
    }
    zorvgst::frame_format format;
    format.name = gst_video_format_to_string(video_format);
    format.width = static_cast<unsigned>(GST_VIDEO_INFO_WIDTH(&info));
    format.height = static_cast<unsigned>(GST_VIDEO_INFO_HEIGHT(&info));
    format.planes = GST_VIDEO_INFO_N_PLANES(&info);
    if (format.planes == 0 || format.planes > zorvgst::max_frame_planes) {
        return std::nullopt;
    }
    for (unsigned i = 0; i < format.planes; ++i) {
        if (GST_VIDEO_INFO_PLANE_STRIDE(&info, i) <= 0) {
            return std::nullopt;
        }
        format.plane[i].offset = GST_VIDEO_INFO_PLANE_OFFSET(&info, i);
        format.plane[i].stride = static_cast<std::size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&info, i));
    }
    format.size = GST_VIDEO_INFO_SIZE(&info);
    if (!format.consistent()) {
        return std::nullopt;
    }
    return format;
}

bool same_layout(const GstVideoMeta& meta, const zorvgst::frame_format& format) {
    if (meta.n_planes != format.planes) {
        return false;
    }
    for (unsigned i = 0; i < format.planes; ++i) {
        if (meta.offset[i] != format.plane[i].offset || meta.stride[i] <= 0 ||
            static_cast<std::size_t>(meta.stride[i]) != format.plane[i].stride) {
            return false;
        }
    }
    return true;
}

} // namespace zorvplugin
