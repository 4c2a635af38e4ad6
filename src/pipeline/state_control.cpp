// SPDX-License-Identifier: LGPL-2.1-or-later
// State changes of an element with uniform logging: set, wait, play, pause and toggle.
#include <cstdlib>

#include <zorvgst/pipeline.h>

#include "internal/log.h"
#include "internal/pipeline/pipeline_text.h"

using zorvgst::detail::object_name;
using zorvgst::detail::owned_text;
using zorvgst::detail::state_name;
using zorvgst::detail::state_value;

namespace {

// Long enough to see a change that is about to complete, short enough for an interactive toggle.
constexpr GstClockTime state_query_timeout = 100 * GST_MSECOND;

} // namespace

void wait_for_state_change(GstElement* element, GstClockTime timeout) {
    ZORV_LOG_DEBUG("Waiting for State Change");
    gst_element_get_state(element, nullptr, nullptr, timeout);
}

void set_element_state(GstElement* element, GstState state, GstClockTime timeout) {
    const int requested = state_value(state);
    {
        owned_text name(object_name(element));
        ZORV_LOG_DEBUG("Changing State of " << name.c_str() << " to " << state_name(requested));
    }

    GstState current = GST_STATE_VOID_PENDING;
    GstState pending = GST_STATE_VOID_PENDING;
    gst_element_get_state(element, &current, &pending, state_query_timeout);
    if (state_value(current) == requested) {
        ZORV_LOG_WARN("Element Already in State: " << state_name(requested));
        return;
    }
    if (state_value(pending) == requested) {
        ZORV_LOG_WARN("Element Already Pending State: " << state_name(requested));
        return;
    }

    // GStreamer accepts any number and leaves the element pending a state that does not exist;
    // such a request is refused like a failed change instead.
    const GstStateChangeReturn result =
        requested >= GST_STATE_NULL && requested <= GST_STATE_PLAYING
            ? gst_element_set_state(element, state)
            : GST_STATE_CHANGE_FAILURE;
    switch (result) {
    case GST_STATE_CHANGE_SUCCESS:
        ZORV_LOG_DEBUG("State Change Success");
        break;
    case GST_STATE_CHANGE_ASYNC:
        ZORV_LOG_DEBUG("State Change Async -- Waiting");
        wait_for_state_change(element, timeout);
        ZORV_LOG_DEBUG("State Change Async Complete");
        break;
    case GST_STATE_CHANGE_FAILURE:
        ZORV_LOG_ERROR("Failed to Change Element State");
        std::exit(1);
    case GST_STATE_CHANGE_NO_PREROLL:
        ZORV_LOG_DEBUG("State Change Success, No Preroll");
        break;
    default:
        break;
    }
}

void gst_play(GstElement* element) {
    GstState current = GST_STATE_VOID_PENDING;
    gst_element_get_state(element, &current, nullptr, state_query_timeout);
    if (current == GST_STATE_PLAYING) {
        ZORV_LOG_WARN("Element Already Playing");
        return;
    }
    {
        owned_text name(object_name(element));
        ZORV_LOG_DEBUG("Playing " << name.c_str());
    }
    if (gst_element_set_state(element, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        ZORV_LOG_ERROR("Failed to Play Element");
    }
}

void gst_pause(GstElement* element) {
    GstState current = GST_STATE_VOID_PENDING;
    gst_element_get_state(element, &current, nullptr, state_query_timeout);
    if (current == GST_STATE_PAUSED) {
        ZORV_LOG_WARN("Element Already Paused");
        return;
    }
    {
        owned_text name(object_name(element));
        ZORV_LOG_DEBUG("Pausing " << name.c_str());
    }
    if (gst_element_set_state(element, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) {
        ZORV_LOG_ERROR("Failed to Pause Element");
        std::exit(1);
    }
}

void play_or_pause(GstElement* element) {
    GstState current = GST_STATE_VOID_PENDING;
    // One microsecond: a toggle must not stall behind a change that is still under way.
    if (gst_element_get_state(element, &current, nullptr, GST_USECOND) ==
        GST_STATE_CHANGE_FAILURE) {
        ZORV_LOG_ERROR("Failed to Check Play/Pause State of Main Pipeline");
        return;
    }
    if (current == GST_STATE_PLAYING) {
        gst_pause(element);
    } else {
        gst_play(element);
    }
}
