// Reading frames out of double buffers that their writer may resize at any moment.
#pragma once

#include <zorvgst/double_buffer.h>

#include "internal/fault_guard.h"
#include "internal/log.h"

namespace zorvgst::detail {

/// Runs `copy`, which reads the slots of `sources`. When an object shrinks under the copy, the
/// copy ends early instead of the process, every source is checked (a changed one logs and
/// reopens at its next is_valid()), and false is returned.
template <typename Copy, typename... Sources>
bool copy_from_shared_memory(Copy&& copy, Sources&... sources) {
    if (fault_guarded(copy)) {
        return true;
    }
    // Every source is checked, also after one has changed.
    bool all_unchanged = true;
    ((all_unchanged = sources.confirm_layout() && all_unchanged), ...);
    if (all_unchanged) {
        // Shrunk and grown back before we looked: the mapping fits again, only this frame is lost.
        ZORV_LOG_ERROR("Render Halted -- Double Buffer Shrank During Read");
    }
    return false;
}

} // namespace zorvgst::detail
