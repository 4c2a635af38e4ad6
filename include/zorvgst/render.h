// SPDX-License-Identifier: LGPL-2.1-or-later
// Frame rendering: copies, overlay blending and cropping between raw memory, GStreamer samples and
// buffers, and double buffers. Frames are packed BGRA with rows of width x 4 bytes; the copied
// rectangle lands with its top-left pixel at column x, row y of a destination dst_width pixels
// wide. Nothing here returns a status: failures are logged. Raw-memory routines trust their
// caller to name memory that holds the whole rectangle; the routines whose ends have a known size
// (double-buffer slots, mapped GStreamer memory) refuse a rectangle that does not fit.
#pragma once

#include <string>

#include <gst/gst.h>

#include <zorvgst/double_buffer.h> // the adapters take the POSIX double-buffer facade
#include <zorvgst/export.h>

/// How a host fits a frame of one size into another; the library only parses it.
enum scale_mode_t { SCALE_MODE_FULL = 0, SCALE_MODE_BARS = 1 };

/// "full" anywhere in the text gives SCALE_MODE_FULL, else "bars" anywhere gives SCALE_MODE_BARS;
/// anything else is logged at warn and gives SCALE_MODE_FULL.
ZORVGST_EXPORT scale_mode_t parse_scale_mode(const std::string& text);

/// Copies a width x height frame into a destination at (x, y); no checks, no overlap allowed.
ZORVGST_EXPORT void render(const guint8* src, guint8* dst, uint width, uint height, uint x, uint y,
                           uint dst_width);
/// Copies the newest frame of a double buffer into raw memory; nothing if the buffer is invalid.
ZORVGST_EXPORT void render(double_buffer_t& src, guint8* dst, uint width, uint height, uint x,
                           uint y, uint dst_width);
/// Fills a writable single-block GstBuffer from the newest frame of a double buffer.
ZORVGST_EXPORT void render(double_buffer_t& src, GstBuffer* dst, uint width, uint height, uint x,
                           uint y, uint dst_width);
/// Writes a frame into a double buffer's write slot and publishes it.
ZORVGST_EXPORT void render(const guint8* src, double_buffer_t& dst, uint width, uint height, uint x,
                           uint y, uint dst_width);
/// Publishes a sample's frame (size from its caps) in a double buffer. The sample is borrowed.
ZORVGST_EXPORT void render(GstSample* sample, double_buffer_t& dst, uint x, uint y, uint dst_width);

/// Blends overlay over base: per colour byte floor((b x (255 - a) + o x a) / 255) with a the
/// overlay's alpha; the output alpha is the base's. Both frames are width x height.
ZORVGST_EXPORT void render_with_overlay(const guint8* base, const guint8* overlay, guint8* dst,
                                        uint width, uint height, uint x, uint y, uint dst_width);
/// Blends the newest frames of two double buffers into raw memory; only the base is grabbed.
ZORVGST_EXPORT void render_with_overlay(double_buffer_t& base, double_buffer_t& overlay,
                                        guint8* dst, uint width, uint height, uint x, uint y,
                                        uint dst_width);
/// Blends into a double buffer's write slot and publishes; throws std::runtime_error if the
/// destination is invalid.
ZORVGST_EXPORT void render_with_overlay(const guint8* base, const guint8* overlay,
                                        double_buffer_t& dst, uint width, uint height, uint x,
                                        uint y, uint dst_width);
/// Blends the newest frames of two double buffers into a writable single-block GstBuffer.
ZORVGST_EXPORT void render_with_overlay(double_buffer_t& base, double_buffer_t& overlay,
                                        GstBuffer* dst, uint width, uint height, uint x, uint y,
                                        uint dst_width);
/// Blends two samples (size from the base sample's caps) into a double buffer and publishes;
/// throws std::runtime_error if the destination is invalid. The samples are borrowed.
ZORVGST_EXPORT void render_with_overlay(GstSample* base, GstSample* overlay, double_buffer_t& dst,
                                        uint x, uint y, uint dst_width);

/// Copies the inner rectangle of a width x height frame left after dropping left/right columns
/// and top/bottom rows; margins wider than the frame are logged at error and copy nothing.
ZORVGST_EXPORT void render_with_cropping(const guint8* src, guint8* dst, uint width, uint height,
                                         uint x, uint y, uint dst_width, uint left, uint right,
                                         uint top, uint bottom);
ZORVGST_EXPORT void render_with_cropping(double_buffer_t& src, guint8* dst, uint width, uint height,
                                         uint x, uint y, uint dst_width, uint left, uint right,
                                         uint top, uint bottom);
ZORVGST_EXPORT void render_with_cropping(double_buffer_t& src, GstBuffer* dst, uint width,
                                         uint height, uint x, uint y, uint dst_width, uint left,
                                         uint right, uint top, uint bottom);
/// Publishes the cropped frame in a double buffer; invalid margins publish nothing.
ZORVGST_EXPORT void render_with_cropping(const guint8* src, double_buffer_t& dst, uint width,
                                         uint height, uint x, uint y, uint dst_width, uint left,
                                         uint right, uint top, uint bottom);
