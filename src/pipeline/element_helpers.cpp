// SPDX-License-Identifier: LGPL-2.1-or-later
// Element creation, linking and adding to bins: set-up steps that end the process when they fail.
#include <cstdlib>

#include <zorvgst/pipeline.h>

#include "internal/log.h"
#include "internal/pipeline/pipeline_text.h"

using zorvgst::detail::object_name;
using zorvgst::detail::owned_text;
using zorvgst::detail::text_or_placeholder;

GstElement* create_element(const gchar* factory_type, const gchar* element_name) {
    GstElement* element = gst_element_factory_make(factory_type, element_name);
    if (element != nullptr) {
        return element;
    }
    ZORV_LOG_ERROR("CREATE ELEMENT FAILED: " << text_or_placeholder(element_name)
                                             << " (factory_type: "
                                             << text_or_placeholder(factory_type) << ")");
    std::exit(1);
}

void link_elements(GstElement* src, GstElement* dest, GstCaps* caps) {
    const gboolean linked =
        caps != nullptr ? gst_element_link_filtered(src, dest, caps) : gst_element_link(src, dest);
    if (linked) {
        return;
    }
    {
        // gst_caps_to_string renders absent caps as "NULL", which is what the line should show.
        owned_text src_name(object_name(src));
        owned_text dest_name(object_name(dest));
        owned_text caps_text(gst_caps_to_string(caps));
        ZORV_LOG_ERROR("Failed to link " << src_name.c_str() << " -> " << dest_name.c_str() << " ("
                                         << caps_text.c_str() << ")");
    }
    std::exit(1);
}

void add_to_bin(GstBin* bin, GstElement* element) {
    // A bin that refuses an element (name already taken) sinks and drops its floating reference;
    // holding one of our own keeps the element alive long enough to name it in the error.
    if (element != nullptr) {
        gst_object_ref(element);
    }
    const gboolean added = gst_bin_add(bin, element);
    if (added) {
        gst_object_unref(element);
        return;
    }
    {
        owned_text name(object_name(element));
        ZORV_LOG_ERROR("Failed to add to bin: " << name.c_str());
    }
    std::exit(1);
}
