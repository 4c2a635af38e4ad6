// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading frames out of double buffers that their writer may resize at any moment.
#pragma once

#include <zorvgst/double_buffer.h>

#include "internal/fault_guard.h"
#include "internal/log.h"
#include "internal/render/render_bounds.h"

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

/// Whether the slots of `src` hold a width x height frame; says otherwise at `where`, the
/// rendering function's place. Reading more would leave the slot (and, for slot 1, the mapping).
inline bool source_holds(double_buffer_t& src, uint width, uint height,
                         const ::log4cxx::spi::LocationInfo& where) {
    if (frame_fits(width, height, frame_bytes(src.get_width(), src.get_height()))) {
        return true;
    }
    ZORV_LOG_ERROR_AT(where, "Render Halted -- Frame "
                                 << width << ":" << height << " Larger Than Double Buffer "
                                 << src.get_name() << " of " << src.get_width() << ":"
                                 << src.get_height());
    return false;
}

/// The slot holding the newest frame of `src`, its read side grabbed, for a width x height copy;
/// null when the buffer is gone, changed size under this handle (a writer that came back at
/// another size leaves the slots outside the object) or holds smaller frames, said at `where`.
inline const guint8* begin_frame_read(double_buffer_t& src, uint width, uint height,
                                      const ::log4cxx::spi::LocationInfo& where) {
    if (!src.is_valid() || !src.confirm_layout() || !source_holds(src, width, height, where)) {
        return nullptr;
    }
    src.grab_read_sem();
    return src.get_read_address();
}

} // namespace zorvgst::detail
