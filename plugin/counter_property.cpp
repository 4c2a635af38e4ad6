// SPDX-License-Identifier: LGPL-2.1-or-later
// Read-only frame counters the elements show as properties.
#include "counter_property.h"

#include "object_lock.h"

namespace zorvplugin {

void install_counter_property(GObjectClass* klass, guint id, const char* name, const char* nick,
                              const char* blurb) {
    g_object_class_install_property(
        klass, id,
        g_param_spec_uint64(name, nick, blurb, 0, G_MAXUINT64, 0,
                            static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));
}

guint64 add_to_counter(gpointer element, guint64& counter, guint64 amount) {
    const object_lock_t lock(element);
    return counter += amount;
}

} // namespace zorvplugin
