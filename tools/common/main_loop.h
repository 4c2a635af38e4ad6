// SPDX-License-Identifier: LGPL-2.1-or-later
// A GLib main loop that Ctrl-C, SIGTERM or a time limit ends: how the shipped programs run.
#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <vector>

#include <glib.h>

namespace zorvgst_tools {

/// Runs on the default main context. SIGINT and SIGTERM end run() for as long as the object
/// lives, also a second time while the program is stopping.
class main_loop {
public:
    main_loop();
    ~main_loop();
    main_loop(const main_loop&) = delete;
    main_loop& operator=(const main_loop&) = delete;

    /// Calls `tick` every `interval`, the first time one interval from now, until it returns
    /// false; that ends run().
    void every(std::chrono::milliseconds interval, std::function<bool()> tick);
    /// Returns when a signal, a tick or quit() ends the loop.
    void run();
    void quit();

private:
    GMainLoop* loop_;
    std::vector<guint> sources_;
    struct ticker {
        main_loop* loop;
        std::function<bool()> tick;
    };
    // One entry a call of every(); a list, so that each source keeps its entry's address.
    std::list<ticker> tickers_;
};

} // namespace zorvgst_tools
