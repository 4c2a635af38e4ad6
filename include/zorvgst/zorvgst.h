// SPDX-License-Identifier: LGPL-2.1-or-later
// Everything the library offers a host, in one include: the library frame, pipeline utilities,
// frame rendering with the POSIX double-buffer facade and both handle classes, the frame API and
// the buffer inventory. Hosts that want less include the part they use.
#pragma once

#include <zorvgst/frames.h>
#include <zorvgst/inventory.h>
#include <zorvgst/library.h>
#include <zorvgst/pipeline.h>
#include <zorvgst/render.h>
#include <zorvgst/sysv_double_buffer.h>
