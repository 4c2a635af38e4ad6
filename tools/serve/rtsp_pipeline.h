// SPDX-License-Identifier: LGPL-2.1-or-later
// What each RTSP stream runs: a buffer's frames, of any format, through an encoder into RTP, and
// which encoder.
#pragma once

#include <string>

#include <zorvgst/inventory.h>

#include "serve_options.h"

namespace zorvgst_serve {

/// What clients receive: `wanted`, except JPEG when x264 is wanted but not available.
encoder_choice usable_encoder(encoder_choice wanted, bool x264_available);

/// "x264" or "jpeg".
const char* encoder_name(encoder_choice encoder);

/// Whether this GStreamer installation has the x264enc element.
bool have_x264enc();

/// The launch description of the media serving `buffer` (a buffer from
/// buffer_catalog::servable, whose name a description carries as it is), whose frames are of
/// `frame_format` (BGRA for a double buffer, any raw format for a frame ring; converted to what
/// the encoder takes). The payloader is "pay0" and the encoder "enc". It depends on the frame
/// size only where H.264 needs even sides, and on the format only where JPEG needs YUV frames
/// brought to full range.
std::string launch_description(const zorvgst::buffer_status& buffer,
                               const std::string& frame_format, encoder_choice encoder);

} // namespace zorvgst_serve
