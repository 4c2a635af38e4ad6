// System V double buffer: segments found through key files, readers woken by a named condition.
#pragma once

#include <zorvgst/export.h>
#include <zorvgst/posix_double_buffer.h>

namespace sysv_double_buffer {} // namespace sysv_double_buffer
