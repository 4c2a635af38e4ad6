// SPDX-License-Identifier: LGPL-2.1-or-later
// The library frame: initialisation, version, log redirection and the frame format.
#pragma once

#include <string>

#include <gst/gst.h>
#include <log4cxx/logger.h>

#include <zorvgst/export.h>
#include <zorvgst/log_handler.h>

/// Where every library log line goes (unless a log handler is set, see log_handler.h). A host
/// may define it, exported: an executable's definition overrides the library's own, which holds
/// the log4cxx logger "zorvgst". A host that defines it must point it at a live logger before
/// `zorvgstlib_init` and any other call that may log.
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

/// COLORSPACE_CAPS_STRING (empty when null) plus the non-zero width, height and framerate fields.
ZORVGST_EXPORT std::string build_caps_string(uint width, uint height, uint framerate);
