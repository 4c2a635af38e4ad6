// SPDX-License-Identifier: LGPL-2.1-or-later
// Read-only frame counters the elements show as properties.
#pragma once

#include <gst/gst.h>

namespace zorvplugin {

/// Installs property `id`, a read-only guint64 counter starting at 0.
void install_counter_property(GObjectClass* klass, guint id, const char* name, const char* nick,
                              const char* blurb);

/// Adds `amount` to `counter`, a field behind a counter property of `element`, under the
/// element's object lock; returns the new total.
guint64 add_to_counter(gpointer element, guint64& counter, guint64 amount = 1);

} // namespace zorvplugin
