// SPDX-License-Identifier: LGPL-2.1-or-later
// The pad both elements carry: BGRA frames of any size the library takes, at any rate.
#pragma once

#include <gst/gst.h>

namespace zorvplugin {

/// Adds the always-present pad template `name` for frames a double buffer can hold.
void add_frame_pad_template(GstElementClass* klass, const char* name, GstPadDirection direction);

} // namespace zorvplugin
