// SPDX-License-Identifier: LGPL-2.1-or-later
// The pad template of both elements, from the library's frame format and largest frame.
#include "frame_caps.h"

#include <zorvgst/zorvgst.h>

namespace zorvplugin {

void add_frame_pad_template(GstElementClass* klass, const char* name, GstPadDirection direction) {
    GstCaps* caps = gst_caps_from_string(COLORSPACE_CAPS_STRING);
    gst_caps_set_simple(caps, "width", GST_TYPE_INT_RANGE, 1,
                        static_cast<int>(zorvgst::max_frame_dimension), "height",
                        GST_TYPE_INT_RANGE, 1, static_cast<int>(zorvgst::max_frame_dimension),
                        "framerate", GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1, nullptr);
    gst_element_class_add_pad_template(klass,
                                       gst_pad_template_new(name, direction, GST_PAD_ALWAYS, caps));
    gst_caps_unref(caps);
}

} // namespace zorvplugin
