// SPDX-License-Identifier: LGPL-2.1-or-later
// Header stores both backends make: claiming the owner, resetting frame fields, publishing.
#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <sys/types.h>

#include "internal/process_liveness.h"
#include "internal/shm_access.h"

namespace zorvgst::detail {

// The templates take either backend's header: the fields they touch have the same names, types
// and offsets in both.

/// Who held a buffer before a writer's claim.
struct owner_claim {
    pid_t previous = 0; ///< the owner the header named
    bool taken = false; ///< true when `own_pid` is now recorded
};

/// Records `own_pid` as owner when the header names none or a process that has exited: a writer
/// restarted after a crash must own its buffer again, or supervisors expire it while it runs. A
/// live owner (of any user) keeps the buffer.
inline owner_claim claim_owner_if_free(pid_t& owner_field, pid_t own_pid) {
    owner_claim claim;
    claim.previous = load_acquire(owner_field);
    if (claim.previous == own_pid) {
        return claim;
    }
    if (claim.previous == 0 || process_has_exited(claim.previous)) {
        store_release(owner_field, own_pid);
        claim.taken = true;
    }
    return claim;
}

/// A writer's reset: no frame yet, the writer's dimensions, and an indicator that names a slot
/// (a valid one is kept, so readers keep their slot).
template <typename Header>
void reset_frame_fields(Header& header, std::uint64_t width, std::uint64_t height) {
    if (load_acquire(header.buffer_indicator) > 1) {
        store_release(header.buffer_indicator, std::uint32_t{0});
    }
    store_release(header.last_write_time, boost::posix_time::ptime());
    store_release(header.frame_count, std::uint64_t{0});
    store_release(header.width, static_cast<std::uint32_t>(width));
    store_release(header.height, static_cast<std::uint32_t>(height));
}

/// Publication's first store: 0 becomes 1 and 1 becomes 0. Any other value stays, and false is
/// returned with it in `seen` so the caller can report it.
inline bool flip_indicator(std::uint32_t& indicator_field, std::uint32_t& seen) {
    seen = load_acquire(indicator_field);
    if (seen > 1) {
        return false;
    }
    store_release(indicator_field, seen ^ 1u);
    return true;
}

/// Publication's later stores, right after the flip: one more frame, stamped with `now` (the
/// local time, read before the flip so that nothing slow stands between the flip and the count).
/// Whoever sees the new time therefore also sees the flipped indicator.
template <typename Header>
void stamp_publication(Header& header, const boost::posix_time::ptime& now) {
    store_release(header.frame_count, load_acquire(header.frame_count) + 1);
    store_release(header.last_write_time, now);
    // The writer's next frame goes into the slot readers were reading, often with string or
    // non-temporal stores, which x86 lets overtake earlier stores: a reader could then see new
    // pixels but the old count, and take a torn frame for a whole one. The full fence makes the
    // count visible before any of those stores.
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

} // namespace zorvgst::detail
