// SPDX-License-Identifier: LGPL-2.1-or-later
// Names of the two backends, as reports and command lines spell them.
#include <zorvgst/backend.h>

namespace zorvgst {

const char* backend_name(backend kind) {
    return kind == backend::sysv ? "sysv" : "posix";
}

} // namespace zorvgst
