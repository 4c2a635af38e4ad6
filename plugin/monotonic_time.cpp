// SPDX-License-Identifier: LGPL-2.1-or-later
// Running time to CLOCK_MONOTONIC and back, through the pipeline clock read beside the monotonic
// clock, or directly when the pipeline clock is the monotonic system clock.
#include "monotonic_time.h"

#include <zorvgst/frame_format.h>

namespace zorvplugin {

namespace {

// GStreamer's own system clock of the monotonic type reads CLOCK_MONOTONIC; subclasses (audio
// clocks) do not, whatever their type says.
bool counts_monotonic_time(GstClock* clock) {
    if (G_OBJECT_TYPE(clock) != GST_TYPE_SYSTEM_CLOCK) {
        return false;
    }
    GstClockType type = GST_CLOCK_TYPE_REALTIME;
    g_object_get(clock, "clock-type", &type, nullptr);
    return type == GST_CLOCK_TYPE_MONOTONIC;
}

// How far CLOCK_MONOTONIC is ahead of `clock` now (0 when they are the same clock).
std::int64_t monotonic_lead(GstClock* clock) {
    if (counts_monotonic_time(clock)) {
        return 0;
    }
    const auto clock_now = static_cast<std::int64_t>(gst_clock_get_time(clock));
    return zorvgst::monotonic_now_ns() - clock_now;
}

} // namespace

std::int64_t monotonic_at_running_time(GstElement* element, GstClockTime running) {
    if (!GST_CLOCK_TIME_IS_VALID(running)) {
        return -1;
    }
    GstClock* clock = gst_element_get_clock(element);
    if (clock == nullptr) {
        return -1;
    }
    const std::int64_t lead = monotonic_lead(clock);
    gst_object_unref(clock);
    const auto clock_time = static_cast<std::int64_t>(gst_element_get_base_time(element) + running);
    const std::int64_t monotonic = clock_time + lead;
    return monotonic >= 0 ? monotonic : -1;
}

GstClockTime running_time_at_monotonic(GstElement* element, std::int64_t monotonic_ns) {
    GstClock* clock = gst_element_get_clock(element);
    if (clock == nullptr) {
        return GST_CLOCK_TIME_NONE;
    }
    const std::int64_t lead = monotonic_lead(clock);
    gst_object_unref(clock);
    const auto base = static_cast<std::int64_t>(gst_element_get_base_time(element));
    const std::int64_t running = monotonic_ns - lead - base;
    return running > 0 ? static_cast<GstClockTime>(running) : 0;
}

} // namespace zorvplugin
