// SPDX-License-Identifier: LGPL-2.1-or-later
// Sleeping on a header's frame count in the kernel, and waking those who do.
#pragma once

#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zorvgst::detail {

/// The low half of a header's frame count: it changes with every publication, and is the word
/// sleeping readers watch. Both backends keep the count at the same offset.
template <typename Header> const std::uint32_t* frame_count_word(const Header* header) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
    return reinterpret_cast<const std::uint32_t*>(&header->frame_count);
}

/// Sleeps while `*word` holds `seen`, at most `longest`; returns early on a wake, a change or a
/// signal, and true only when a wake ended the sleep. Shared (not private) futexes: the word
/// lives in memory that other processes map. The kernel keeps no state for a sleeper that dies.
inline bool sleep_while_word_is(const std::uint32_t* word, std::uint32_t seen,
                                std::chrono::microseconds longest) {
    const long us = longest.count() > 0 ? static_cast<long>(longest.count()) : 0;
    const timespec timeout{us / 1000000, (us % 1000000) * 1000};
    return ::syscall(SYS_futex, word, FUTEX_WAIT, seen, &timeout, nullptr, 0) == 0;
}

/// Wakes every process sleeping on `word`; never blocks, and costs one system call when nobody
/// sleeps. Returns how many it woke.
inline long wake_word_sleepers(const std::uint32_t* word) {
    return ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

/// Wakes the readers of a publication. The scheduler tends to queue a woken reader behind the
/// writer that woke it, and a writer goes straight on to draw its next frame: at 1080p the
/// reader then starts most of a millisecond late. Yielding once lets it start now; nobody
/// woken, nothing yielded.
inline void wake_publication_readers(const std::uint32_t* word) {
    if (wake_word_sleepers(word) > 0) {
        ::sched_yield();
    }
}

} // namespace zorvgst::detail
