// SPDX-License-Identifier: LGPL-2.1-or-later
// The object lock of an element, held for the rest of a scope.
#pragma once

#include <gst/gst.h>

namespace zorvplugin {

/// Holds GST_OBJECT_LOCK of `object` until the end of the scope, so that no early return or
/// exception leaves it taken. Not recursive: nothing under it may take the same lock again.
class object_lock_t {
public:
    explicit object_lock_t(gpointer object) : object_(GST_OBJECT_CAST(object)) {
        GST_OBJECT_LOCK(object_);
    }
    ~object_lock_t() { GST_OBJECT_UNLOCK(object_); }
    object_lock_t(const object_lock_t&) = delete;
    object_lock_t& operator=(const object_lock_t&) = delete;

private:
    GstObject* object_;
};

} // namespace zorvplugin
