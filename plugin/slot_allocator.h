// SPDX-License-Identifier: LGPL-2.1-or-later
// The memory a slot buffer lends the write slot through, and its allocator.
#pragma once

#include <cstddef>

#include <gst/gst.h>

G_BEGIN_DECLS
#define GST_TYPE_ZORV_SLOT_ALLOCATOR (gst_zorv_slot_allocator_get_type())
G_DECLARE_FINAL_TYPE(GstZorvSlotAllocator, gst_zorv_slot_allocator, GST, ZORV_SLOT_ALLOCATOR,
                     GstAllocator)
G_END_DECLS

namespace zorvplugin {

/// A memory of `size` bytes that maps, and is freed, through `lease` (a slot_exchange_t lease):
/// it owns no pixels of its own. Never shared into sub-memories: copies take the pixels instead.
GstMemory* slot_memory_new(void* lease, std::size_t size);

} // namespace zorvplugin
