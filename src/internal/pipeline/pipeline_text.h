// SPDX-License-Identifier: LGPL-2.1-or-later
// Texts the pipeline utilities put into log lines for values GStreamer may leave null or out of
// range.
#pragma once

#include <cstring>
#include <string>

#include <gst/gst.h>

#include <zorvgst/library.h>

namespace zorvgst::detail {

/// Written in place of a text GStreamer did not supply, so a null is never streamed.
inline const char* text_or_placeholder(const char* text) {
    return text != nullptr ? text : "(null)";
}

/// The integer a GstState object holds. C callers and messages may carry any number; read as an
/// int it is never an invalid enumeration value.
inline int state_value(const GstState& state) {
    static_assert(sizeof(GstState) == sizeof(int), "GstState is int-sized");
    int value = 0;
    std::memcpy(&value, &state, sizeof(value));
    return value;
}

/// The state's name, or its number when it is not one of the five states.
inline std::string state_name(int state) {
    if (state >= GST_STATE_VOID_PENDING && state <= GST_STATE_PLAYING) {
        return STATE_ICONS[state];
    }
    return std::to_string(state);
}

/// A GLib string owned until the end of the scope.
class owned_text {
public:
    explicit owned_text(gchar* text) : text_(text) {}
    ~owned_text() { g_free(text_); }
    owned_text(const owned_text&) = delete;
    owned_text& operator=(const owned_text&) = delete;

    const char* c_str() const { return text_or_placeholder(text_); }

private:
    gchar* text_;
};

/// gst_object_get_name, tolerating a null object.
inline gchar* object_name(gpointer object) {
    return object != nullptr ? gst_object_get_name(GST_OBJECT(object)) : nullptr;
}

} // namespace zorvgst::detail
