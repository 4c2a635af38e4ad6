// Copies the newest frame out of a double buffer, retrying copies the writer may have torn.
#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <glib.h>

#include "backend.h"

namespace zorvplugin {

struct grab_result_t {
    enum kind_t { copied, torn, layout_changed } kind = torn;
    /// The publication time the copied frame is known to be at least as new as.
    boost::posix_time::ptime shown;
    /// Copies thrown away because the writer published twice while they ran.
    unsigned dropped = 0;
};

/// Copies the reader's newest frame into `dst` (rows `dst_stride` bytes apart). A copy is torn
/// only if the writer published twice during it (it then rewrites the slot being read), so
/// frame_count is read before and after and the copy repeated, at most `max_attempts` times.
grab_result_t grab_newest_frame(frame_reader_t& reader, guint8* dst, std::size_t dst_stride,
                                unsigned max_attempts);

} // namespace zorvplugin
