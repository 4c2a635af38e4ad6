// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame API's refusals as codes a caller switches on, and reads that answer a destination
// too small with the frame's size instead of an exception.
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zorvgst/frames.h>

#include "support/backend_params.h"
#include "support/child_process.h"
#include "support/frames.h"
#include "support/shm_guard.h"

namespace {

using namespace std::chrono_literals;
using zorvgst::error_code;
using zorvgst::frame_format;
using zorvgst::frame_reader;
using zorvgst::frame_writer;
using zorvgst::read_status;
using zorvtest::rows_hold;
using zorvtest::ShmGuard;
using zorvtest::uniform_frame;

/// The code of what `action` throws; fails the test when it throws nothing or something else.
template <typename Action> zorvgst::error refusal(Action&& action) {
    try {
        action();
    } catch (const zorvgst::error& refused) {
        return refused;
    }
    ADD_FAILURE() << "nothing was refused";
    return zorvgst::error("nothing was refused");
}

template <typename Backend> class FrameErrors : public zorvtest::BackendTest<Backend> {};
TYPED_TEST_SUITE(FrameErrors, zorvtest::Backends, zorvtest::BackendNames);

TYPED_TEST(FrameErrors, EachRefusalCarriesItsCodeAndKeepsItsWords) {
    const std::string name = this->guard_.name();
    const auto kind = TypeParam::kind;
    zorvtest::Signal writing;
    zorvtest::ChildProcess owner([&] {
        frame_writer writer(name, 16, 16, kind);
        writing.raise();
        ::pause();
        return 0;
    });
    ASSERT_TRUE(writing.wait());
    const zorvgst::error alive = refusal([&] { frame_writer(name, 16, 16, kind); });
    EXPECT_EQ(alive.code(), error_code::owner_alive);
    EXPECT_EQ(alive.system_error(), 0);
    EXPECT_NE(std::string(alive.what()).find(std::to_string(owner.pid())), std::string::npos)
        << alive.what();
    owner.kill_and_reap(SIGKILL);

    EXPECT_EQ(refusal([&] { frame_writer("../escape", 16, 16, kind); }).code(),
              error_code::invalid_name);
    EXPECT_EQ(refusal([&] { frame_writer(name, 0, 16, kind); }).code(), error_code::invalid_format);

    frame_writer writer = this->writer(16, 8);
    // Rows 60 bytes apart cannot hold 16 pixels of 4 bytes: refused before a byte is read.
    const std::vector<std::uint8_t> short_rows(60 * 8, 1);
    EXPECT_EQ(refusal([&] { writer.write(short_rows.data(), 60); }).code(),
              error_code::invalid_argument);
    EXPECT_EQ(refusal([&] { writer.reformat(frame_format::of("NV12", 16, 8)); }).code(),
              error_code::invalid_format);

    writer.write(uniform_frame(16, 8, 64, 1).data(), 64);
    frame_reader reader(name);
    ASSERT_TRUE(reader.wait(2s));
    std::vector<std::uint8_t> small(16 * 4 * 4);
    const zorvgst::error too_small = refusal([&] { reader.read(small.data(), 64, small.size()); });
    EXPECT_EQ(too_small.code(), error_code::destination_too_small);
    EXPECT_STREQ(too_small.what(), ("destination of 256 bytes with rows 64 bytes apart cannot "
                                    "hold a 16x8 frame of " +
                                    name)
                                       .c_str());
}

TYPED_TEST(FrameErrors, AFrameLargerThanTheDestinationIsAnOutcomeWithItsSize) {
    frame_writer writer = this->writer(16, 8);
    frame_reader reader(this->guard_.name());
    writer.write(uniform_frame(16, 8, 64, 1).data(), 64);
    ASSERT_TRUE(reader.wait(2s));
    const auto newest = reader.newest();
    ASSERT_TRUE(newest);

    // The writer grows its frames between newest() and the read.
    writer.resize(32, 16);
    writer.write(uniform_frame(32, 16, 128, 2).data(), 128);
    std::vector<std::uint8_t> sized(std::size_t{newest->width} * newest->height * 4);
    zorvgst::read_result result = reader.try_read(sized.data(), 64, sized.size());
    EXPECT_EQ(result.status, read_status::too_small);
    EXPECT_FALSE(result);
    EXPECT_EQ(result.info.width, 32u);
    EXPECT_EQ(result.info.height, 16u);
    EXPECT_EQ(result.needed, 32u * 16 * 4);
    result = reader.try_copy(sized.data(), sized.size());
    EXPECT_EQ(result.status, read_status::too_small);
    EXPECT_EQ(result.needed, 32u * 16 * 4);

    // Sized as the outcome says, the same frame is copied.
    sized.resize(result.needed);
    result = reader.try_read(sized.data(), 128, sized.size());
    ASSERT_TRUE(result);
    EXPECT_EQ(result.info.number, 1u);
    EXPECT_TRUE(rows_hold(sized.data(), 32, 16, 128, 2));
    EXPECT_EQ(reader.try_read(sized.data(), 128, sized.size()).status, read_status::copied)
        << "a read does not wait for a new frame";
    // A stride whose rows would reach past the address space fits nowhere, whatever the product
    // wraps around to.
    const std::size_t wrapping = std::numeric_limits<std::size_t>::max() / 15 + 1;
    EXPECT_EQ(reader.try_read(sized.data(), wrapping, sized.size()).status, read_status::too_small);
}

TYPED_TEST(FrameErrors, ACopyIntoAVectorFollowsTheWriterUpAndDown) {
    frame_writer writer = this->writer(16, 8);
    frame_reader reader(this->guard_.name());
    std::vector<std::uint8_t> frame;
    EXPECT_FALSE(reader.copy(frame)) << "no frame yet";

    for (const auto& [width, height, value] :
         {std::tuple{16u, 8u, 1}, std::tuple{64u, 32u, 2}, std::tuple{8u, 4u, 3}}) {
        writer.resize(width, height);
        writer.write(uniform_frame(width, height, width * 4, value).data(), width * 4);
        ASSERT_TRUE(reader.wait(2s));
        const auto copied = reader.copy(frame);
        ASSERT_TRUE(copied) << width << "x" << height;
        EXPECT_EQ(copied->width, width);
        EXPECT_EQ(frame.size(), std::size_t{width} * height * 4);
        EXPECT_TRUE(rows_hold(frame.data(), width, height, width * 4, value));
    }
}

TEST(FrameErrorsRing, RingRefusalsAndOutcomesCarryTheirCodes) {
    ShmGuard guard;
    zorvgst::ring_options beyond;
    beyond.readers = 1000;
    const zorvgst::error options =
        refusal([&] { frame_writer(guard.name(), frame_format::of("BGRA", 8, 8), beyond); });
    EXPECT_EQ(options.code(), error_code::invalid_argument) << options.what();
    EXPECT_EQ(refusal([] { frame_format::of("NOT_A_FORMAT", 4, 4); }).code(),
              error_code::invalid_format);
    EXPECT_EQ(refusal([] { frame_format::with_strides("RGB", 5, 3, {14}); }).code(),
              error_code::invalid_format);

    frame_writer writer(guard.name(), frame_format::of("NV12", 16, 8));
    EXPECT_EQ(refusal([&] { writer.write(uniform_frame(16, 8, 64, 1).data(), 64); }).code(),
              error_code::invalid_format);
    std::memset(writer.frame(), 7, writer.format().size);
    writer.publish();
    frame_reader reader(guard.name());
    ASSERT_TRUE(reader.wait(2s));

    std::vector<std::uint8_t> frame(64 * 8);
    EXPECT_EQ(reader.try_read(frame.data(), 64, frame.size()).status, read_status::several_planes);
    EXPECT_EQ(refusal([&] { reader.read(frame.data(), 64, frame.size()); }).code(),
              error_code::invalid_format);
    const zorvgst::read_result small = reader.try_copy(frame.data(), 10);
    EXPECT_EQ(small.status, read_status::too_small);
    EXPECT_EQ(small.needed, writer.format().size);
    EXPECT_EQ(refusal([&] { reader.copy(frame.data(), 10); }).code(),
              error_code::destination_too_small);

    frame.clear();
    zorvgst::frame_timing timing;
    const auto copied = reader.copy(frame, &timing);
    ASSERT_TRUE(copied);
    EXPECT_EQ(frame.size(), writer.format().size);
    EXPECT_EQ(frame.front(), 7);
    EXPECT_EQ(frame.back(), 7);
    EXPECT_GE(timing.pts_ns, 0) << "the ring's timing comes with the copy";
}

// What the system refuses carries its errno: /dev/shm holds a directory under the name, which
// neither a double buffer nor a ring can be opened as.
TEST(FrameErrorsSystem, WhatTheSystemRefusesCarriesItsErrno) {
    ShmGuard guard;
    const std::string path = "/dev/shm/" + guard.name();
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << std::strerror(errno);
    const zorvgst::error posix = refusal([&] { frame_writer(guard.name(), 8, 8); });
    const zorvgst::error ring =
        refusal([&] { frame_writer(guard.name(), frame_format::of("BGRA", 8, 8)); });
    ::rmdir(path.c_str());
    for (const zorvgst::error* refused : {&posix, &ring}) {
        EXPECT_EQ(refused->code(), error_code::system_error) << refused->what();
        EXPECT_NE(refused->system_error(), 0) << refused->what();
    }
    // The ring's exclusive create finds the name taken.
    EXPECT_EQ(ring.system_error(), EEXIST) << ring.what();
}

} // namespace
