// SPDX-License-Identifier: LGPL-2.1-or-later
// The shipped programs' main loop and its signal handling.
#include "tools/common/main_loop.h"
#include <csignal>

#include <glib-unix.h>

namespace zorvgst_tools {

namespace {

gboolean quit_loop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    // Stays installed: a second signal while stopping must not fall back to the default action.
    return G_SOURCE_CONTINUE;
}

} // namespace

main_loop::main_loop() : loop_(g_main_loop_new(nullptr, FALSE)) {
    sources_.push_back(g_unix_signal_add(SIGINT, quit_loop, loop_));
    sources_.push_back(g_unix_signal_add(SIGTERM, quit_loop, loop_));
}

main_loop::~main_loop() {
    for (const guint source : sources_) {
        g_source_remove(source);
    }
    g_main_loop_unref(loop_);
}

void main_loop::every(std::chrono::milliseconds interval, std::function<bool()> tick) {
    tickers_.push_back({this, std::move(tick)});
    const GSourceFunc call_tick = [](gpointer data) -> gboolean {
        auto* called = static_cast<ticker*>(data);
        if (!called->tick()) {
            called->loop->quit();
        }
        // Removed by the destructor with the other sources, never twice.
        return G_SOURCE_CONTINUE;
    };
    sources_.push_back(
        g_timeout_add(static_cast<guint>(interval.count()), call_tick, &tickers_.back()));
}

void main_loop::run() {
    g_main_loop_run(loop_);
}

void main_loop::quit() {
    g_main_loop_quit(loop_);
}

} // namespace zorvgst_tools
