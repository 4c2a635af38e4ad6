// What both elements share: the backend enumeration, debug categories and library log wiring.
#pragma once

#include <gst/gst.h>

#include "backend.h"

G_BEGIN_DECLS

/// GType of the `backend` property: "posix" (default) or "sysv".
#define GST_TYPE_ZORV_DB_BACKEND (gst_zorv_db_backend_get_type())
GType gst_zorv_db_backend_get_type(void);

G_END_DECLS

namespace zorvplugin {

/// Debug category of the library's own log lines when the plugin hosts the library.
GstDebugCategory* library_category();

/// Sends the library's lines to GStreamer's debug log when this process defines no `logger`
/// of its own; its level follows the "zorvgst" category's threshold. Called at plugin load.
void init_library_logging();

} // namespace zorvplugin
