// SPDX-License-Identifier: LGPL-2.1-or-later
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

// ---------------------------------------------------------------------------------------------
// Pipeline utilities: element helpers, state control, bus watch, queue overrun warnings, timing
// bins and graph export. Set-up steps that must not fail end the process with exit status 1.
// ---------------------------------------------------------------------------------------------

#include <atomic>
#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

/// Makes an element of `factory_type`; `element_name` may be null (GStreamer picks one).
/// Returns the floating reference, never null: on failure logs an error and calls exit(1).
ZORVGST_EXPORT GstElement* create_element(const gchar* factory_type, const gchar* element_name);

/// Links `src` to `dest`, through `caps` when not null (the caps are neither taken nor released).
/// On failure logs an error and calls exit(1).
ZORVGST_EXPORT void link_elements(GstElement* src, GstElement* dest, GstCaps* caps);

/// Adds `element` to `bin`, which takes its floating reference. On failure logs an error and
/// calls exit(1).
ZORVGST_EXPORT void add_to_bin(GstBin* bin, GstElement* element);

/// Blocks up to `timeout` until a pending asynchronous state change has completed or failed.
ZORVGST_EXPORT void wait_for_state_change(GstElement* element, GstClockTime timeout);

/// Moves `element` to `state`, waiting up to `timeout` for an asynchronous change. A state the
/// element is already in or heading to only warns. A refused change (or a value that is no
/// state) logs an error and calls exit(1).
ZORVGST_EXPORT void set_element_state(GstElement* element, GstState state, GstClockTime timeout);

/// Moves `element` to PLAYING without waiting; a refusal is logged and the process goes on.
ZORVGST_EXPORT void gst_play(GstElement* element);

/// Moves `element` to PAUSED without waiting; a refusal logs an error and calls exit(1).
ZORVGST_EXPORT void gst_pause(GstElement* element);

/// Pauses a PLAYING element, plays any other.
ZORVGST_EXPORT void play_or_pause(GstElement* element);

/// The record `standard_bus_cb` receives as user data; owned by the host, alive while the watch
/// is installed.
struct ZORVGST_EXPORT bus_cb_data_t {
    GMainLoop* loop;      ///< quit on end-of-stream and on error
    GstElement* pipeline; ///< queried for its duration
    gint64 duration;      ///< nanoseconds, written on DURATION_CHANGED and ASYNC_DONE
};

/// Bus watch for a host's pipeline: logs every message at a level that fits it, quits the loop
/// on end-of-stream and error, keeps `duration` current. Runs on the main-loop thread; always
/// returns TRUE.
ZORVGST_EXPORT gboolean standard_bus_cb(GstBus* bus, GstMessage* message, gpointer user_data);

/// Connects `queue_overrun_callback` to the "overrun" signal of the element named `queue_name`
/// anywhere inside `bin`. A missing name is logged and otherwise ignored.
ZORVGST_EXPORT void add_queue_overrun_callback(GstBin* bin, const char* queue_name);

/// Warns with the queue's name and fill levels (buffers, bytes, time in nanoseconds). Runs on the
/// streaming thread that found the queue full.
ZORVGST_EXPORT void queue_overrun_callback(GstElement* queue, gpointer user_data);

/// Timing record of one wrapper bin, shared by its two "handoff" handlers. The handlers may run
/// on two streaming threads at once, hence the atomic fields.
class ZORVGST_EXPORT perf_data {
public:
    perf_data(std::string wrapper_name, log4cxx::Logger* logger_for_timing, uint32_t threshold,
              bool declog_enabled, int32_t sleep);
    virtual ~perf_data();
    perf_data(const perf_data&) = delete;
    perf_data& operator=(const perf_data&) = delete;

    std::string name;                                 ///< "perf_" + wrapped element's name
    std::atomic<boost::posix_time::ptime> begin_time; ///< local time the latest buffer entered
    log4cxx::Logger* perf_logger;                     ///< not owned
    uint32_t threshold_ms;                            ///< longer passages are logged
    std::atomic<bool> clogged;                        ///< set by a slow passage
    bool declog;                                      ///< a slow passage makes the next buffer wait
    int32_t sleep_ms;                                 ///< length of that wait
};

/// Wraps `element` in a bin "perf_<name>" between identity elements "b_perf_<name>" and
/// "e_perf_<name>" with "sink" and "src" ghost pads; passages slower than `threshold_ms` are
/// logged at info level on `perf_logger` (which must outlive the bin). With `declog`, the buffer
/// after a slow passage waits `sleep_ms` first. Returns a floating reference; set-up failures
/// call exit(1).
ZORVGST_EXPORT GstElement* perf_log_and_declog_bin(GstElement* element,
                                                   log4cxx::Logger* perf_logger,
                                                   uint32_t threshold_ms, bool declog,
                                                   int32_t sleep_ms);

/// "handoff" handler of the begin element; `user_data` is the `perf_data`.
ZORVGST_EXPORT void perf_log_identity_begin_cb(GstElement* identity, GstBuffer* buffer,
                                               gpointer user_data);

/// "handoff" handler of the end element; `user_data` is the `perf_data`.
ZORVGST_EXPORT void perf_log_identity_end_cb(GstElement* identity, GstBuffer* buffer,
                                             gpointer user_data);

/// Destroy notify of the begin element's connection: deletes the `perf_data` (null is ignored).
ZORVGST_EXPORT void delete_perf_data_cb(gpointer data, GClosure* closure);

/// Writes the graph of `pipeline` (a bin) as a dot file into $GST_DEBUG_DUMP_DOT_DIR and renders
/// it to PNG with Graphviz's `dot`, at `output_path` or, when null, in the same directory.
/// Returns the PNG's path, or the empty string on failure (logged). Blocks while `dot` runs.
ZORVGST_EXPORT std::string save_pipeline_to_png_file(GstElement* pipeline, const char* output_path);

/// Exports the graph of `pipeline` as above and opens the PNG with `google-chrome`, waiting for
/// the browser command to return. Failures are logged.
ZORVGST_EXPORT void display_pipeline_in_chrome(GstElement* pipeline);

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
