// SPDX-License-Identifier: LGPL-2.1-or-later
// Copies out of shared memory that survive a writer truncating the object under them.
#pragma once

#include <type_traits>
#include <utility>

namespace zorvgst::detail {

/// Runs `copy(context)` on the calling thread. A SIGBUS that the copy raises (a page of the
/// mapping that the object no longer backs) ends the copy instead of the process, and false is
/// returned; whatever the copy wrote so far stays written. SIGBUS raised anywhere else goes to
/// the handler that was installed before ours. Not reentrant on one thread.
bool run_fault_guarded(void (*copy)(void* context), void* context) noexcept;

/// The same for a callable. It must hold no lock and own no resource across the copy: a fault
/// leaves it by a long jump, without unwinding.
template <typename Copy> bool fault_guarded(Copy&& copy) {
    using copy_type = std::remove_reference_t<Copy>;
    return run_fault_guarded([](void* context) { (*static_cast<copy_type*>(context))(); },
                             static_cast<void*>(&copy));
}

} // namespace zorvgst::detail
