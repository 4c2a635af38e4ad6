// SPDX-License-Identifier: LGPL-2.1-or-later
// SIGBUS recovery for copies that read shared memory: one process-wide handler, a recovery
// point per thread.
#include "internal/fault_guard.h"
#include <csetjmp>
#include <csignal>
#include <mutex>

#include <pthread.h>

namespace zorvgst::detail {
namespace {

// Initial-exec: the handler reads it, and only static TLS is safe to touch in a signal handler
// (a dynamic TLS block may be allocated on first access).
__attribute__((tls_model("initial-exec"))) thread_local sigjmp_buf* recovery_point = nullptr;

struct sigaction previous_action {};
std::once_flag handler_installed;

void on_sigbus(int signal_number, siginfo_t* info, void* context) {
    sigjmp_buf* point = recovery_point;
    if (point != nullptr) {
        recovery_point = nullptr;
        siglongjmp(*point, 1);
    }
    // Not ours: behave as if this handler had never been installed.
    if ((previous_action.sa_flags & SA_SIGINFO) != 0 && previous_action.sa_sigaction != nullptr) {
        previous_action.sa_sigaction(signal_number, info, context);
        return;
    }
    if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
        previous_action.sa_handler(signal_number);
        return;
    }
    // A fault cannot be ignored: returning would only fault again. The default action ends the
    // process with the signal, as it would have without us; raise() is async-signal-safe and the
    // signal stays pending until this handler returns.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    raise(signal_number);
}

void install_handler() {
    struct sigaction action {};
    action.sa_sigaction = on_sigbus;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previous_action);
}

void unblock_sigbus() {
    // The kernel blocked SIGBUS for the handler, which left by a jump; another fault while it
    // stays blocked would kill the process outright.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

} // namespace

bool run_fault_guarded(void (*copy)(void* context), void* context) noexcept {
    std::call_once(handler_installed, install_handler);
    sigjmp_buf point;
    // No mask saved: that would cost a system call on every copy; the rare fault unblocks below.
    if (sigsetjmp(point, 0) != 0) {
        unblock_sigbus();
        return false;
    }
    recovery_point = &point;
    copy(context);
    recovery_point = nullptr;
    return true;
}

} // namespace zorvgst::detail
