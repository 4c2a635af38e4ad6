// SPDX-License-Identifier: LGPL-2.1-or-later
// Zero-copy publication: upstream fills the writer's current slot through a buffer pool.
#pragma once

#include <memory>

#include <gst/gst.h>

#include <zorvgst/frame_format.h>

#include "slot_exchange.h"

G_BEGIN_DECLS
#define GST_TYPE_ZORV_SLOT_POOL (gst_zorv_slot_pool_get_type())
G_DECLARE_FINAL_TYPE(GstZorvSlotPool, gst_zorv_slot_pool, GST, ZORV_SLOT_POOL, GstBufferPool)
G_END_DECLS

namespace zorvplugin {

/// A pool whose buffers wrap the write slot when it can be lent and are plain system memory
/// otherwise; it never blocks, so a buffer held by preroll or last-sample cannot stall upstream.
/// Buffers are never reused: one always names the slot it was made for.
GstBufferPool* slot_pool_new(std::shared_ptr<slot_exchange_t> exchange,
                             const zorvgst::frame_format& format);

} // namespace zorvplugin
