// SPDX-License-Identifier: LGPL-2.1-or-later
// Smoke tests of the example hosts: a publisher and a subscriber run as separate processes.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/render.h>

#include "support/command.h"
#include "support/raw_shm.h"
#include "support/shm_guard.h"

namespace {

namespace bip = boost::interprocess;
using namespace std::chrono_literals;
using zorvtest::ShmGuard;

constexpr unsigned width = 64;
constexpr unsigned height = 48;

std::vector<std::string> publisher_args(const ShmGuard& guard, const char* seconds) {
    return {"--name",   guard.name(),           "--width",   std::to_string(width),
            "--height", std::to_string(height), "--seconds", seconds};
}

/// The number in "<verb> N frames" of a host's summary line; -1 when there is none.
long frames_in(const std::string& out, const std::string& verb) {
    const auto at = out.find(verb + " ");
    long frames = -1;
    if (at == std::string::npos ||
        std::sscanf(out.c_str() + at + verb.size() + 1, "%ld frames", &frames) != 1) {
        return -1;
    }
    return frames;
}

TEST(ExampleHosts, PublisherFillsItsBufferWithTheTestPattern) {
    ShmGuard guard;
    const auto published =
        zorvtest::run_command(ZORVGST_PUBLISHER, publisher_args(guard, "1"), 30s);
    ASSERT_EQ(published.status, 0) << published.out << published.err;
    EXPECT_GE(frames_in(published.out, "published"), 15) << published.out;

    // What any reader finds afterwards: the last frame, the pattern's bars along the top row.
    double_buffer_t reader(guard.c_str(), bip::read_only);
    ASSERT_TRUE(reader.is_valid());
    ASSERT_EQ(reader.get_width(), width);
    ASSERT_EQ(reader.get_height(), height);
    std::vector<guint8> frame(width * height * 4);
    render(reader, frame.data(), width, height, 0, 0, width);
    std::set<std::tuple<int, int, int>> colours;
    for (unsigned x = 0; x < width; ++x) {
        const guint8* p = &frame[x * 4];
        colours.emplace(p[0] / 32, p[1] / 32, p[2] / 32);
    }
    EXPECT_GE(colours.size(), 7u) << "top row is not the colour bars";
    // BGRA: the first bar is white, the last blue.
    EXPECT_GT(frame[0], 150);
    EXPECT_GT(frame[2], 150);
    const guint8* last = &frame[(width - 1) * 4];
    EXPECT_GT(last[0], 150);
    EXPECT_LT(last[2], 60);
}

TEST(ExampleHosts, SubscriberReceivesWhatThePublisherPublishes) {
    ShmGuard guard;
    // Started first: it waits for the writer.
    zorvtest::Command subscriber(ZORVGST_SUBSCRIBER, {"--name", guard.name(), "--wait", "20"});
    const auto published =
        zorvtest::run_command(ZORVGST_PUBLISHER, publisher_args(guard, "2"), 30s);
    std::this_thread::sleep_for(300ms);
    subscriber.signal(SIGTERM);
    const auto received = subscriber.finish(10s);

    ASSERT_EQ(published.status, 0) << published.err;
    ASSERT_EQ(received.status, 0) << received.out << received.err;
    const long sent = frames_in(published.out, "published");
    const long got = frames_in(received.out, "received");
    EXPECT_GE(sent, 30) << published.out;
    EXPECT_GE(got, sent / 2) << received.out;
    EXPECT_LE(got, sent) << received.out;
    double latency = -1;
    const auto at = received.out.find("latency ");
    ASSERT_NE(at, std::string::npos) << received.out;
    ASSERT_EQ(std::sscanf(received.out.c_str() + at, "latency %lf ms", &latency), 1);
    EXPECT_GT(latency, 0);
    EXPECT_LT(latency, 100);
}

TEST(ExampleHosts, SubscriberGivesUpWithoutAWriter) {
    ShmGuard guard;
    const auto start = std::chrono::steady_clock::now();
    const auto result =
        zorvtest::run_command(ZORVGST_SUBSCRIBER, {"--name", guard.name(), "--wait", "1"}, 20s);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("no writer has created " + guard.name()), std::string::npos)
        << result.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_FALSE(zorvtest::object_exists(guard.name()));
}

TEST(ExampleHosts, BadArgumentsAreUsageErrors) {
    for (const char* program : {ZORVGST_PUBLISHER, ZORVGST_SUBSCRIBER}) {
        const auto result = zorvtest::run_command(program, {"--bogus", "1"}, 20s);
        EXPECT_EQ(result.status, 2) << program;
        EXPECT_NE(result.err.find("usage: "), std::string::npos) << result.err;
    }
    EXPECT_EQ(zorvtest::run_command(ZORVGST_PUBLISHER, {"--width", "0"}, 20s).status, 2);
}

} // namespace
