// Public API of the library frame: initialisation, version, log redirection and shared constants.
#pragma once

#include <string>

#include <gst/gst.h>
#include <log4cxx/logger.h>

#include <zorvgst/export.h>

/// Defined by the host program, never by the library: every library log line goes here.
/// It must point at a live logger before `zorvgstlib_init` and any other call that may log.
extern log4cxx::LoggerPtr logger;

/// Registers the GStreamer-to-log4cxx redirect, then initialises GStreamer with the host's
/// command line. Call once per process, before any other GStreamer use.
ZORVGST_EXPORT void zorvgstlib_init(int argc, char** argv);

/// "1.3.0"; static storage.
ZORVGST_EXPORT const char* zorvgstlib_version();

/// The four-character build text, quotes included; static storage.
ZORVGST_EXPORT const char* zorvgstlib_build();

/// GStreamer log function that forwards ERROR, WARNING, DEBUG, LOG and TRACE messages to
/// `logger` (FIXME, INFO and MEMDUMP are dropped). May run on any GStreamer thread.
ZORVGST_EXPORT void gst_logging_redirect_cb(GstDebugCategory* category, GstDebugLevel level,
                                            const gchar* file, const gchar* function, gint line,
                                            GObject* object, GstDebugMessage* message,
                                            gpointer user_data);

/// Names of the five GstState values, indexed by the state.
ZORVGST_EXPORT extern const std::string STATE_ICONS[5];

/// The library's one frame format (packed BGRA, progressive, square pixels). A host may point
/// it elsewhere before any caps are built; the library reads it afresh each time.
ZORVGST_EXPORT extern const char* COLORSPACE_CAPS_STRING;

// ------------------------------------------------------------------------------------------------
// Frame rendering: copies, overlay blending and cropping between raw memory, GStreamer samples and
// buffers, and double buffers. Frames are packed BGRA with rows of width x 4 bytes; the copied
// rectangle lands with its top-left pixel at column x, row y of a destination dst_width pixels
// wide. Nothing here returns a status: failures are logged. Raw-memory routines trust their
// caller to name memory that holds the whole rectangle; the routines whose ends have a known size
// (double-buffer slots, mapped GStreamer memory) refuse a rectangle that does not fit.

// The adapters below take the POSIX double-buffer facade.
#include <zorvgst/double_buffer.h>

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

/// COLORSPACE_CAPS_STRING (empty when null) plus the non-zero width, height and framerate fields.
ZORVGST_EXPORT std::string build_caps_string(uint width, uint height, uint framerate);

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
