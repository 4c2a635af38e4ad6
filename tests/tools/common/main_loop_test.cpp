// SPDX-License-Identifier: LGPL-2.1-or-later
// The shipped programs' main loop: ticks end it, and so does a signal, without killing the process.
#include <chrono>
#include <csignal>

#include <gtest/gtest.h>

#include "tools/common/main_loop.h"

namespace {

using namespace std::chrono_literals;

TEST(ToolsMainLoop, EndsWhenATickSaysSo) {
    zorvgst_tools::main_loop loop;
    int ticks = 0;
    loop.every(1ms, [&] { return ++ticks < 3; });
    loop.run();
    EXPECT_EQ(ticks, 3);
}

TEST(ToolsMainLoop, EachTimerCallsItsOwnTick) {
    zorvgst_tools::main_loop loop;
    int fast = 0;
    int slow = 0;
    loop.every(1ms, [&] { return ++fast < 1000; });
    loop.every(5ms, [&] { return ++slow < 3; });
    loop.run();
    EXPECT_EQ(slow, 3);
    EXPECT_GT(fast, 0) << "the second timer's tick replaced the first's";
}

TEST(ToolsMainLoop, SigintAndSigtermEndItAndLeaveTheProcessRunning) {
    for (const int signal : {SIGINT, SIGTERM}) {
        zorvgst_tools::main_loop loop;
        int ticks = 0;
        // The first tick raises the signal; the loop must end before a thousand more.
        loop.every(1ms, [&] {
            if (++ticks == 1) {
                std::raise(signal);
            }
            return ticks < 1000;
        });
        loop.run();
        EXPECT_LT(ticks, 1000) << "signal " << signal;
    }
}

} // namespace
