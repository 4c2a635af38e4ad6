// SPDX-License-Identifier: LGPL-2.1-or-later
// A flag that SIGINT and SIGTERM raise.
#include "tools/common/interruption.h"
#include <csignal>

namespace zorvgst_tools {

namespace {

volatile std::sig_atomic_t interruption_seen = 0;

extern "C" void on_interruption(int) {
    interruption_seen = 1;
}

} // namespace

void catch_interruptions() {
    struct sigaction action {};
    action.sa_handler = on_interruption;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() {
    return interruption_seen != 0;
}

} // namespace zorvgst_tools
