// SPDX-License-Identifier: LGPL-2.1-or-later
// Pre-faulting a writer's fresh mapping, so its first frame does not pay for the page faults.
#pragma once

#include <cerrno>
#include <cstddef>

#include <sys/mman.h>

// Older libc headers lack the constant; kernels before 5.14 answer EINVAL and we go on.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace zorvgst::detail {

/// Maps every page of a shared, writable mapping in writable state now, leaving the contents as
/// they are. `address` must be page-aligned (as every mapping's start is). Returns 0, or the
/// error the kernel gave; the pages then fault on first touch, as they would have anyway.
inline int prefault_for_writing(void* address, std::size_t length) {
    if (address == nullptr || length == 0) {
        return 0;
    }
    const int saved_errno = errno;
    const int error = ::madvise(address, length, MADV_POPULATE_WRITE) == 0 ? 0 : errno;
    errno = saved_errno;
    return error;
}

/// Errors that only say this kernel or mapping cannot pre-fault: nothing worth a log line.
inline bool prefault_unsupported(int error) {
    return error == EINVAL || error == ENOSYS;
}

} // namespace zorvgst::detail
