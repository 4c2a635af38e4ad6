// SPDX-License-Identifier: LGPL-2.1-or-later
// Waking readers without letting any process, dead or alive, stall the writer or other readers.
#pragma once

#include <cstdint>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace sysv_double_buffer::detail {

/// Sleeps until the 32-bit word at `word` no longer holds `seen` or the UTC `deadline` passes
/// (a special deadline never does). The kernel keeps no state for a waiter that dies, and the
/// word is re-read at short intervals, so writers that never wake it are noticed too.
void wait_for_word_change(const std::uint32_t* word, std::uint32_t seen,
                          const boost::posix_time::ptime& deadline);

/// Wakes every process sleeping in wait_for_word_change on `word`; never blocks.
void wake_word_waiters(const std::uint32_t* word);

/// Notifies every waiter of the named condition `condition_name` from a thread of its own. A
/// process killed inside the condition leaves its internal lock taken for ever; only that thread
/// then stalls, never the caller.
void notify_condition_in_background(const std::string& condition_name);

} // namespace sysv_double_buffer::detail
