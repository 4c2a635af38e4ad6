// SPDX-License-Identifier: LGPL-2.1-or-later
// Ordered access to header fields that other processes read and write concurrently.
#pragma once

#include <type_traits>

namespace zorvgst::detail {

// Publication stores must become visible to other processes in program order, and readers must
// never see half a field: release stores pair with acquire loads on the same mapped field.
template <typename T> T load_acquire(const T& field) {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= 8);
    T value;
    __atomic_load(&field, &value, __ATOMIC_ACQUIRE);
    return value;
}

template <typename T> void store_release(T& field, T value) {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= 8);
    __atomic_store(&field, &value, __ATOMIC_RELEASE);
}

} // namespace zorvgst::detail
