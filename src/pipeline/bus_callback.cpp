// SPDX-License-Identifier: LGPL-2.1-or-later
// Ready-made bus watch: bus messages become log lines; end-of-stream and errors quit the loop.
#include <zorvgst/pipeline.h>

#include "internal/log.h"
#include "internal/pipeline/pipeline_text.h"

using zorvgst::detail::owned_text;
using zorvgst::detail::state_name;
using zorvgst::detail::state_value;
using zorvgst::detail::text_or_placeholder;

namespace {

gchar* source_path(GstMessage* message) {
    GstObject* source = GST_MESSAGE_SRC(message);
    return source != nullptr ? gst_object_get_path_string(source) : nullptr;
}

const char* error_text(const GError* error) {
    return error != nullptr ? text_or_placeholder(error->message) : text_or_placeholder(nullptr);
}

void quit_loop(bus_cb_data_t* data) {
    if (data != nullptr && data->loop != nullptr) {
        g_main_loop_quit(data->loop);
    }
}

// The error, warning or information a message carries, freed when the case is done with it.
class message_report {
public:
    message_report(GstMessage* message, void (*parse)(GstMessage*, GError**, gchar**)) {
        parse(message, &error_, &debug_);
    }
    ~message_report() {
        if (error_ != nullptr) {
            g_error_free(error_);
        }
        g_free(debug_);
    }
    message_report(const message_report&) = delete;
    message_report& operator=(const message_report&) = delete;

    const char* text() const { return error_text(error_); }
    gint code() const { return error_ != nullptr ? error_->code : 0; }
    const char* debug() const { return text_or_placeholder(debug_); }

private:
    GError* error_ = nullptr;
    gchar* debug_ = nullptr;
};

// Returns whether the pipeline answered; its duration lands in the record.
bool query_duration(bus_cb_data_t* data) {
    return data != nullptr && data->pipeline != nullptr &&
           gst_element_query_duration(data->pipeline, GST_FORMAT_TIME, &data->duration);
}

} // namespace

gboolean standard_bus_cb(GstBus* /*bus*/, GstMessage* message, gpointer user_data) {
    auto* data = static_cast<bus_cb_data_t*>(user_data);
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_EOS:
        ZORV_LOG_DEBUG("GST_MESSAGE_EOS");
        quit_loop(data);
        break;
    case GST_MESSAGE_ERROR: {
        const message_report report(message, gst_message_parse_error);
        ZORV_LOG_ERROR("Error: " << report.text() << " " << report.debug());
        quit_loop(data);
        break;
    }
    case GST_MESSAGE_WARNING: {
        const message_report report(message, gst_message_parse_warning);
        owned_text path(source_path(message));
        ZORV_LOG_WARN("from element " << path.c_str() << ":" << report.code() << ":"
                                      << report.text());
        break;
    }
    case GST_MESSAGE_INFO: {
        const message_report report(message, gst_message_parse_info);
        ZORV_LOG_INFO(report.text() << " " << report.debug());
        break;
    }
    case GST_MESSAGE_TAG:
    case GST_MESSAGE_QOS:
        break;
    case GST_MESSAGE_STATE_CHANGED: {
        GstState old_state = GST_STATE_VOID_PENDING;
        GstState new_state = GST_STATE_VOID_PENDING;
        GstState pending = GST_STATE_VOID_PENDING;
        gst_message_parse_state_changed(message, &old_state, &new_state, &pending);
        owned_text path(source_path(message));
        ZORV_LOG_TRACE(path.c_str() << " State Changed: " << state_name(state_value(old_state))
                                    << " -> " << state_name(state_value(new_state)) << "("
                                    << state_name(state_value(pending)) << ")");
        break;
    }
    case GST_MESSAGE_STREAM_STATUS: {
        GstStreamStatusType type = GST_STREAM_STATUS_TYPE_CREATE;
        GstElement* owner = nullptr;
        gst_message_parse_stream_status(message, &type, &owner);
        owned_text path(source_path(message));
        ZORV_LOG_TRACE(path.c_str() << " Stream Status: " << static_cast<int>(type));
        break;
    }
    case GST_MESSAGE_DURATION_CHANGED:
    case GST_MESSAGE_ASYNC_DONE: {
        const char* const after = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ASYNC_DONE
                                      ? "GST_MESSAGE_ASYNC_DONE"
                                      : "GST_MESSAGE_DURATION_CHANGED";
        if (query_duration(data)) {
            ZORV_LOG_DEBUG("Video Duration after " << after << ": [" << data->duration << "]");
        } else {
            ZORV_LOG_DEBUG("Could Not Query Video Duration after " << after);
        }
        break;
    }
    default:
        ZORV_LOG_DEBUG("Got " << gst_message_type_get_name(GST_MESSAGE_TYPE(message))
                              << " message");
        break;
    }
    return TRUE;
}
