// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame API over both backends: exchange, attachment, following the writer, one writer per
// buffer, and never a torn frame reported intact.
#include <zorvgst/frames.h>
// What a host including only the frame API gets: no Boost, no GStreamer.
#if defined(BOOST_VERSION) || defined(GST_VERSION_MAJOR)
#error "zorvgst/frames.h must not pull in Boost or GStreamer"
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/render.h>

#include "support/backend_params.h"
#include "support/child_process.h"
#include "support/frames.h"
#include "support/shm_guard.h"

namespace {

using namespace std::chrono_literals;
using zorvgst::frame_info;
using zorvgst::frame_reader;
using zorvgst::frame_writer;
using zorvtest::ChildProcess;
using zorvtest::rows_hold;
using zorvtest::Signal;
using zorvtest::uniform_frame;

// Waits for the next frame and reads it packed: it must be `width` x `height`, every pixel
// byte `value`. Its description, or nothing when it did not come or could not be read.
std::optional<frame_info> read_uniform(frame_reader& reader, unsigned width, unsigned height,
                                       std::uint8_t value) {
    std::vector<std::uint8_t> received(std::size_t{width} * height * 4);
    if (!reader.wait(3s)) {
        ADD_FAILURE() << "no frame of " << width << "x" << height << " arrived";
        return std::nullopt;
    }
    const auto info = reader.read(received.data(), std::size_t{width} * 4, received.size());
    if (!info) {
        ADD_FAILURE() << "the frame of " << width << "x" << height << " could not be read";
        return std::nullopt;
    }
    EXPECT_EQ(info->width, width);
    EXPECT_EQ(info->height, height);
    EXPECT_TRUE(rows_hold(received.data(), width, height, std::size_t{width} * 4, value));
    return info;
}

template <typename Backend> class Frames : public zorvtest::BackendTest<Backend> {};
TYPED_TEST_SUITE(Frames, zorvtest::Backends, zorvtest::BackendNames);

TYPED_TEST(Frames, WriterAndReaderExchangeFramesWithAnyStride) {
    frame_writer writer = this->writer(64, 32);
    frame_reader reader(this->guard_.name());
    EXPECT_FALSE(reader.wait(0ns)) << "no frame is published yet";

    const auto sent = uniform_frame(64, 32, 64 * 4 + 12, 0x5A);
    const frame_info published = writer.write(sent.data(), 64 * 4 + 12);
    EXPECT_EQ(published.number, 1u);
    ASSERT_TRUE(reader.wait(2s));
    EXPECT_EQ(reader.kind(), TypeParam::kind);

    // Into a wider destination: only the frame's columns of each row are written.
    constexpr std::size_t stride = 80 * 4;
    std::vector<std::uint8_t> received(stride * 32, 0);
    const auto info = reader.read(received.data(), stride, received.size());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->number, 1u);
    EXPECT_EQ(info->width, 64u);
    EXPECT_EQ(info->height, 32u);
    EXPECT_LT(std::chrono::abs(std::chrono::system_clock::now() - info->written), 5s);
    EXPECT_TRUE(rows_hold(received.data(), 64, 32, stride, 0x5A));
    EXPECT_EQ(received[64 * 4], 0) << "bytes past the frame's row were written";
    EXPECT_FALSE(reader.wait(0ns)) << "the frame returned counts as seen";

    // Drawn in place, then published.
    std::memset(writer.frame(), 0x33, 64 * 32 * 4);
    EXPECT_EQ(writer.publish().number, 2u);
    ASSERT_TRUE(reader.wait(2s));
    const auto viewed = reader.view(
        [](const std::uint8_t* pixels, std::size_t view_stride, const frame_info& frame) {
            EXPECT_EQ(view_stride, std::size_t{frame.width} * 4);
            EXPECT_TRUE(rows_hold(pixels, frame.width, frame.height, view_stride, 0x33));
        });
    ASSERT_TRUE(viewed);
    EXPECT_EQ(viewed->number, 2u);

    EXPECT_THROW(reader.read(received.data(), 63 * 4, received.size()), zorvgst::error);
    EXPECT_THROW(reader.read(received.data(), stride, stride * 31), zorvgst::error);
    EXPECT_THROW(writer.write(sent.data(), 63 * 4), zorvgst::error);
}

TYPED_TEST(Frames, ReaderWaitsForItsWriterAndFollowsItThroughResizeAndRecreation) {
    frame_reader reader(this->guard_.name());
    EXPECT_FALSE(reader.wait(30ms));
    EXPECT_FALSE(reader.ready());

    std::vector<std::uint8_t> received(256 * 128 * 4);
    {
        frame_writer writer = this->writer(64, 32);
        writer.write(uniform_frame(64, 32, 64 * 4, 1).data(), 64 * 4);
        ASSERT_TRUE(reader.wait(2s));
        ASSERT_TRUE(reader.read(received.data(), 256 * 4, received.size()));

        writer.resize(32, 16);
        writer.write(uniform_frame(32, 16, 32 * 4, 2).data(), 32 * 4);
        ASSERT_TRUE(read_uniform(reader, 32, 16, 2));
    }
    // The buffer removed, and a new writer makes it again at another size.
    zorvtest::remove_shared_objects(this->guard_.name());
    frame_writer writer = this->writer(128, 64);
    writer.write(uniform_frame(128, 64, 128 * 4, 3).data(), 128 * 4);
    const auto remade = read_uniform(reader, 128, 64, 3);
    ASSERT_TRUE(remade);
    EXPECT_EQ(remade->number, 1u);
}

TYPED_TEST(Frames, ALookedAtFrameStaysMappedPastResizeAndReaderAndSaysWhetherItWasOverdrawn) {
    frame_writer writer = this->writer(64, 32);
    frame_reader reader(this->guard_.name());
    writer.write(uniform_frame(64, 32, 64 * 4, 0x44).data(), 64 * 4);
    ASSERT_TRUE(reader.wait(2s));
    std::optional<zorvgst::frame_view> view = reader.look();
    ASSERT_TRUE(view);
    EXPECT_EQ(view->info().number, 1u);
    EXPECT_EQ(view->stride(), 64u * 4);

    // The writer makes its buffer anew and the reader follows; the view keeps the old memory.
    writer.resize(32, 16);
    writer.write(uniform_frame(32, 16, 32 * 4, 0x55).data(), 32 * 4);
    ASSERT_TRUE(read_uniform(reader, 32, 16, 0x55));
    EXPECT_TRUE(reader.intact(*view)) << "nothing was published into the old buffer";
    reader = frame_reader(this->guard_.name());
    EXPECT_TRUE(rows_hold(view->pixels(), 64, 32, view->stride(), 0x44));

    // A publication while looking makes the look untrustworthy.
    ASSERT_TRUE(reader.wait(2s));
    std::optional<zorvgst::frame_view> overdrawn = reader.look();
    ASSERT_TRUE(overdrawn);
    writer.write(uniform_frame(32, 16, 32 * 4, 0x66).data(), 32 * 4);
    EXPECT_FALSE(reader.intact(*overdrawn));
    EXPECT_EQ(reader.dropped(), 1u);
    ASSERT_TRUE(reader.wait(0ns)) << "an overdrawn look does not count as returned";
}

TYPED_TEST(Frames, OneLiveWriterPerBufferAndRefusedInput) {
    const std::string name = this->guard_.name();
    Signal writing;
    ChildProcess first([&] {
        frame_writer writer(name, 16, 16, TypeParam::kind);
        writing.raise();
        ::pause();
        return 0;
    });
    ASSERT_TRUE(writing.wait());
    try {
        frame_writer second(name, 16, 16, TypeParam::kind);
        ADD_FAILURE() << "a second writer took a buffer its live owner publishes to";
    } catch (const zorvgst::error& e) {
        EXPECT_NE(std::string(e.what()).find(std::to_string(first.pid())), std::string::npos)
            << e.what();
    }
    first.kill_and_reap(SIGKILL);
    // Its owner gone, the buffer is taken over.
    EXPECT_NO_THROW(frame_writer(name, 16, 16, TypeParam::kind));

    EXPECT_THROW(frame_writer("../escape_buffer", 16, 16, TypeParam::kind), zorvgst::error);
    EXPECT_THROW(frame_writer(name, 0, 16, TypeParam::kind), zorvgst::error);
    EXPECT_THROW(frame_writer(name, 16, zorvgst::max_frame_dimension + 1, TypeParam::kind),
                 zorvgst::error);
}

// A writer that publishes as fast as it can: frame n is filled with the byte n & 0xFF, so a copy
// that mixes two frames is never uniform, or does not match its number.
TYPED_TEST(Frames, TornFramesAreNeverReportedIntact) {
    constexpr unsigned width = 640;
    constexpr unsigned height = 360;
    const std::string name = this->guard_.name();
    Signal started;
    ChildProcess writer_process([&] {
        frame_writer writer(name, width, height, TypeParam::kind);
        for (std::uint64_t next = 1;; ++next) {
            std::memset(writer.frame(), static_cast<int>(next & 0xFF),
                        std::size_t{width} * height * 4);
            writer.publish();
            if (next == 1) {
                started.raise();
            }
            // Short breathers between bursts: a reader must get some frames through to show
            // that the ones it gets are whole.
            if (next % 32 == 0) {
                ::usleep(2000);
            }
        }
        return 0;
    });
    ASSERT_TRUE(started.wait());

    frame_reader reader(name, TypeParam::kind);
    std::vector<std::uint8_t> frame(std::size_t{width} * height * 4);
    int intact = 0;
    int viewed = 0;
    const auto until = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < until) {
        if (!reader.wait(1s)) {
            continue;
        }
        if (const auto info = reader.read(frame.data(), width * 4, frame.size())) {
            ++intact;
            ASSERT_TRUE(rows_hold(frame.data(), width, height, width * 4, info->number & 0xFF))
                << "frame " << info->number << " returned torn";
        }
        bool uniform = false;
        std::uint8_t first = 0;
        const auto info =
            reader.view([&](const std::uint8_t* pixels, std::size_t stride, const frame_info&) {
                first = pixels[0];
                uniform = rows_hold(pixels, width, height, stride, first);
            });
        if (info) {
            ++viewed;
            ASSERT_TRUE(uniform && first == (info->number & 0xFF))
                << "view of frame " << info->number << " reported intact but was torn";
        }
    }
    EXPECT_GT(intact + viewed, 0) << "no frame was returned at all";

    // The handle's own copy, which checks nothing, does mix frames under this writer: without
    // that, the checks above would prove nothing.
    if constexpr (TypeParam::kind == zorvgst::backend::posix) {
        double_buffer_t raw(name.c_str(), boost::interprocess::read_only);
        ASSERT_TRUE(raw.is_valid());
        bool torn = false;
        const auto raw_until = std::chrono::steady_clock::now() + 10s;
        while (!torn && std::chrono::steady_clock::now() < raw_until) {
            render(raw, frame.data(), width, height, 0, 0, width);
            torn = !rows_hold(frame.data(), width, height, width * 4, frame[0]);
        }
        EXPECT_TRUE(torn) << "the unchecked copy never mixed two frames";
    }
    writer_process.kill_and_reap(SIGKILL);
}

} // namespace
