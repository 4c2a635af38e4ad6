// SPDX-License-Identifier: LGPL-2.1-or-later
// Library entry: GStreamer initialisation with log redirection, version, build and constants.
#include "internal/log.h"

const std::string STATE_ICONS[5] = {"Pending", "Null", "Ready", "Paused", "Playing"};

const char* COLORSPACE_CAPS_STRING =
    "video/x-raw,format=BGRA,interlace-mode=progressive,pixel-aspect-ratio=1/1";

void zorvgstlib_init(int argc, char** argv) {
    // Registered before gst_init so that messages of GStreamer's own start-up reach the host too.
    gst_debug_add_log_function(gst_logging_redirect_cb, nullptr, nullptr);
    // GStreamer updates our copy of the count; the caller's stays as it was.
    gst_init(&argc, &argv);
}

const char* zorvgstlib_version() {
    return "1.3.0";
}

const char* zorvgstlib_build() {
    return "\"64\"";
}

void gst_logging_redirect_cb(GstDebugCategory* /*category*/, GstDebugLevel level,
                             const gchar* /*file*/, const gchar* /*function*/, gint /*line*/,
                             GObject* /*object*/, GstDebugMessage* message,
                             gpointer /*user_data*/) {
    const gchar* text = gst_debug_message_get(message);
    // A message without text carries nothing to forward; skipping it keeps the stream intact.
    if (text == nullptr) {
        return;
    }
    switch (level) {
    case GST_LEVEL_ERROR:
        ZORV_LOG_ERROR(text);
        break;
    case GST_LEVEL_WARNING:
        ZORV_LOG_WARN(text);
        break;
    case GST_LEVEL_DEBUG:
        ZORV_LOG_DEBUG(text);
        break;
    case GST_LEVEL_LOG:
    case GST_LEVEL_TRACE:
        ZORV_LOG_TRACE(text);
        break;
    default:
        break;
    }
}
