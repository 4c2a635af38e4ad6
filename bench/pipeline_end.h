// SPDX-License-Identifier: LGPL-2.1-or-later
// How the benchmark probes learn that a pipeline they run has failed or ended.
#pragma once

#include <cstdio>

#include <gst/gst.h>

namespace zorvbench {

/// Waits up to `timeout` for the pipeline to post an error or the end of its stream, and says
/// which on standard error; false when it posted neither.
inline bool pipeline_ended(GstElement* pipeline, GstClockTime timeout) {
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, timeout, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
    gst_object_unref(bus);
    if (message == nullptr) {
        return false;
    }
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* error = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(message, &error, &debug);
        std::fprintf(stderr, "pipeline error: %s (%s)\n", error->message, debug ? debug : "");
        g_clear_error(&error);
        g_free(debug);
    } else {
        std::fprintf(stderr, "pipeline ended early\n");
    }
    gst_message_unref(message);
    return true;
}

} // namespace zorvbench
