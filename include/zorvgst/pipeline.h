// SPDX-License-Identifier: LGPL-2.1-or-later
// Pipeline utilities: element helpers, state control, bus watch, queue overrun warnings, timing
// bins and graph export. Set-up steps that must not fail end the process with exit status 1.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <gst/gst.h>
#include <log4cxx/logger.h>

#include <zorvgst/export.h>

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
