// SPDX-License-Identifier: LGPL-2.1-or-later
// The caps both elements carry, and the frame layout that goes with negotiated caps.
#pragma once

#include <optional>

#include <gst/gst.h>
#include <gst/video/video.h>

#include <zorvgst/frame_format.h>

namespace zorvplugin {

/// Raw video of every format a frame ring can hold (each one GStreamer describes with plane
/// offsets and strides: no tiled or palette formats), BGRA first, at any size the library takes
/// and any rate. A new reference.
GstCaps* any_frame_caps();
/// The same for the packed BGRA frames of a double buffer only.
GstCaps* bgra_frame_caps();

/// Adds the always-present pad template `name` for every frame either element can carry.
void add_frame_pad_template(GstElementClass* klass, const char* name, GstPadDirection direction);

/// The layout `info` gives its frames, as a frame ring records it; nothing when the library
/// cannot describe it (an unknown format, planes outside the frame).
std::optional<zorvgst::frame_format> frame_format_of(const GstVideoInfo& info);

/// Whether `meta` lays its planes out exactly as `format` does.
bool same_layout(const GstVideoMeta& meta, const zorvgst::frame_format& format);

} // namespace zorvplugin
