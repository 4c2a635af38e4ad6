// Facade over a POSIX double buffer, conventional buffer names and the buffer-type probe.
#pragma once

#include <zorvgst/export.h>
#include <zorvgst/posix_double_buffer.h>
