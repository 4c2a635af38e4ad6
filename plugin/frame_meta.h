// SPDX-License-Identifier: LGPL-2.1-or-later
// "ZorvFrameMeta": what a frame of a ring carries beside its pixels, as a custom GstMeta.
#pragma once

#include <cstddef>
#include <cstdint>

#include <gst/gst.h>

namespace zorvplugin {

/// Applications find the meta with gst_buffer_get_custom_meta(buffer, frame_meta_name). Its
/// structure holds "frame-number" (guint64), "pts-monotonic" (gint64, CLOCK_MONOTONIC
/// nanoseconds, -1 when unknown) and, when the frame has any, "metadata" (GBytes).
inline constexpr const char* frame_meta_name = "ZorvFrameMeta";

/// Registers the meta; both elements do at class initialisation, and once is enough.
void register_frame_meta();

/// Adds the meta of one frame to `buffer`, copying `metadata_size` bytes of `metadata`.
void add_frame_meta(GstBuffer* buffer, std::uint64_t frame_number, std::int64_t pts_monotonic,
                    const std::uint8_t* metadata, std::size_t metadata_size);

/// The "metadata" bytes `buffer` carries in the meta, borrowed from it; null when there are none.
GBytes* frame_meta_metadata(GstBuffer* buffer);

} // namespace zorvplugin
