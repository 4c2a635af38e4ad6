// SPDX-License-Identifier: LGPL-2.1-or-later
// Registers the zorvgst plugin and its two elements.
#include <gst/gst.h>

#include "dbsink.h"
#include "dbsrc.h"
#include "host_logger.h"

static gboolean plugin_init(GstPlugin* plugin) {
    zorvplugin::init_library_logging();
    gboolean registered = FALSE;
    registered |= GST_ELEMENT_REGISTER(zorvdbsink, plugin);
    registered |= GST_ELEMENT_REGISTER(zorvdbsrc, plugin);
    return registered;
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, zorvgst,
                  "Share live BGRA video between processes through shared-memory double buffers",
                  plugin_init, ZORVGST_PLUGIN_VERSION, "unknown", "zorvgst", "zorvgst")
