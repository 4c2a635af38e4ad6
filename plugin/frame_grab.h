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
    /// The buffer's last write time when the copy was found whole.
    boost::posix_time::ptime shown;
    /// Copies thrown away because the writer published while they ran.
    unsigned dropped = 0;
};

/// Copies the reader's newest frame into `dst` (rows `dst_stride` bytes apart). Right after a
/// publication the writer starts filling the slot readers had been reading, so a copy is
/// trusted only if frame_count did not move while it ran; otherwise it is repeated, at most
/// `max_attempts` times.
grab_result_t grab_newest_frame(frame_reader_t& reader, guint8* dst, std::size_t dst_stride,
                                unsigned max_attempts);

} // namespace zorvplugin
