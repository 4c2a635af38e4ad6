// SPDX-License-Identifier: LGPL-2.1-or-later
// Between a pipeline's running time and CLOCK_MONOTONIC, the clock frame rings stamp frames in.
#pragma once

#include <cstdint>

#include <gst/gst.h>

namespace zorvplugin {

/// The CLOCK_MONOTONIC nanoseconds at which `element`'s pipeline clock reads base time +
/// `running`; -1 without a clock or a valid running time.
std::int64_t monotonic_at_running_time(GstElement* element, GstClockTime running);

/// `element`'s running time at the CLOCK_MONOTONIC instant `monotonic_ns`, never below 0;
/// GST_CLOCK_TIME_NONE without a clock.
GstClockTime running_time_at_monotonic(GstElement* element, std::int64_t monotonic_ns);

} // namespace zorvplugin
