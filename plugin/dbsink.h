// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvdbsink: a video sink that publishes every frame it receives into a double buffer.
#pragma once

#include <gst/video/gstvideosink.h>

G_BEGIN_DECLS

#define GST_TYPE_ZORV_DB_SINK (gst_zorv_db_sink_get_type())
G_DECLARE_FINAL_TYPE(GstZorvDbSink, gst_zorv_db_sink, GST, ZORV_DB_SINK, GstVideoSink)

GST_ELEMENT_REGISTER_DECLARE(zorvdbsink);

G_END_DECLS
