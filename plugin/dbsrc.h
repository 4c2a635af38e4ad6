// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvdbsrc: a live source producing the newest frame of a double buffer at each publication.
#pragma once

#include <gst/base/gstpushsrc.h>

G_BEGIN_DECLS

#define GST_TYPE_ZORV_DB_SRC (gst_zorv_db_src_get_type())
G_DECLARE_FINAL_TYPE(GstZorvDbSrc, gst_zorv_db_src, GST, ZORV_DB_SRC, GstPushSrc)

GST_ELEMENT_REGISTER_DECLARE(zorvdbsrc);

G_END_DECLS
