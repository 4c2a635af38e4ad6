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
#include <vector>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include "fault_backends.h"
#include "support/child_process.h"
#include "support/raw_shm.h"
#include "support/shm_guard.h"

namespace {

using namespace std::chrono_literals;
using zorvgst::frame_info;
using zorvgst::frame_reader;
using zorvgst::frame_writer;
using zorvtest::ChildProcess;
using zorvtest::ShmGuard;

struct Posix {
    static constexpr zorvgst::backend kind = zorvgst::backend::posix;
    static constexpr const char* label = "posix";
};
struct Sysv {
    static constexpr zorvgst::backend kind = zorvgst::backend::sysv;
    static constexpr const char* label = "sysv";
};

template <typename Backend> class Frames : public ::testing::Test {
protected:
    frame_writer writer(unsigned width, unsigned height) {
        return frame_writer(guard_.name(), width, height, Backend::kind);
    }
    ShmGuard guard_;
};

class BackendNames {
public:
    template <typename T> static std::string GetName(int) { return T::label; }
};
using Backends = ::testing::Types<Posix, Sysv>;
TYPED_TEST_SUITE(Frames, Backends, BackendNames);

/// A frame whose every pixel byte is `value`, rows `stride` bytes apart with `pad` in between.
std::vector<std::uint8_t> uniform_frame(unsigned width, unsigned height, std::size_t stride,
                                        std::uint8_t value) {
    std::vector<std::uint8_t> pixels(stride * height, 0xEE);
    for (unsigned y = 0; y < height; ++y) {
        std::memset(pixels.data() + y * stride, value, std::size_t{width} * 4);
    }
    return pixels;
}

bool rows_hold(const std::uint8_t* pixels, unsigned width, unsigned height, std::size_t stride,
               std::uint8_t value) {
    for (unsigned y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < std::size_t{width} * 4; ++x) {
            if (pixels[y * stride + x] != value) {
                return false;
            }
        }
    }
    return true;
}

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
        ASSERT_TRUE(reader.wait(2s));
        const auto smaller = reader.read(received.data(), 32 * 4, received.size());
        ASSERT_TRUE(smaller);
        EXPECT_EQ(smaller->width, 32u);
        EXPECT_EQ(smaller->height, 16u);
        EXPECT_TRUE(rows_hold(received.data(), 32, 16, 32 * 4, 2));
    }
    // The buffer removed, and a new writer makes it again at another size.
    zorvtest::remove_shared_objects(this->guard_.name());
    frame_writer writer = this->writer(128, 64);
    writer.write(uniform_frame(128, 64, 128 * 4, 3).data(), 128 * 4);
    ASSERT_TRUE(reader.wait(3s));
    const auto remade = reader.read(received.data(), 128 * 4, received.size());
    ASSERT_TRUE(remade);
    EXPECT_EQ(remade->width, 128u);
    EXPECT_EQ(remade->number, 1u);
    EXPECT_TRUE(rows_hold(received.data(), 128, 64, 128 * 4, 3));
}

TYPED_TEST(Frames, OneLiveWriterPerBufferAndRefusedInput) {
    const std::string name = this->guard_.name();
    faulttest::Signal writing;
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
    faulttest::Signal started;
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
    writer_process.kill_and_reap(SIGKILL);
    EXPECT_GT(intact + viewed, 0) << "no frame was returned at all";
}

TYPED_TEST(Frames, WriterKilledMidFrameLeavesItsLastWholeFrame) {
    const std::string name = this->guard_.name();
    faulttest::Signal half_written;
    ChildProcess writer_process([&] {
        frame_writer writer(name, 64, 32, TypeParam::kind);
        writer.write(uniform_frame(64, 32, 64 * 4, 0x11).data(), 64 * 4);
        std::memset(writer.frame(), 0x22, 64 * 32 * 2); // half of the next frame
        half_written.raise();
        ::pause();
        return 0;
    });
    ASSERT_TRUE(half_written.wait());
    writer_process.kill_and_reap(SIGKILL);

    frame_reader reader(name, TypeParam::kind);
    ASSERT_TRUE(reader.wait(2s));
    std::vector<std::uint8_t> frame(64 * 32 * 4);
    const auto info = reader.read(frame.data(), 64 * 4, frame.size());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->number, 1u);
    EXPECT_TRUE(rows_hold(frame.data(), 64, 32, 64 * 4, 0x11));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(reader.wait(50ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

/// Writes a 32-bit header field of `name` the way a hostile peer would.
bool poke_header(zorvgst::backend kind, const std::string& name, std::size_t posix_offset,
                 std::uint32_t value) {
    if (kind == zorvgst::backend::posix) {
        return zorvtest::poke(name, posix_offset, value);
    }
    // The System V header is the POSIX one without its leading type word.
    const key_t key = ::ftok(("/dev/shm/" + name).c_str(), 59);
    const int shmid = key == -1 ? -1 : ::shmget(key, 0, 0);
    void* base = shmid < 0 ? reinterpret_cast<void*>(-1) : ::shmat(shmid, nullptr, 0);
    if (base == reinterpret_cast<void*>(-1)) {
        return false;
    }
    const std::size_t offset = posix_offset == 4 ? 0 : posix_offset;
    std::memcpy(static_cast<unsigned char*>(base) + offset, &value, sizeof(value));
    ::shmdt(base);
    return true;
}

TYPED_TEST(Frames, CorruptHeaderNeverCrashesOrMisleadsAReader) {
    struct corruption {
        const char* what;
        std::size_t offset; // in the POSIX header
        std::uint32_t value;
    };
    const corruption cases[] = {{"indicator 7", 4, 7},
                                {"width beyond the object", 16, 65535},
                                {"zero height", 20, 0},
                                {"width beyond any frame", 16, 0xFFFFFFFFu}};
    std::vector<std::uint8_t> frame(std::size_t{64} * 64 * 4 * 4);
    for (const corruption& c : cases) {
        SCOPED_TRACE(c.what);
        zorvtest::remove_shared_objects(this->guard_.name());
        frame_writer writer = this->writer(64, 32);
        writer.write(uniform_frame(64, 32, 64 * 4, 0x44).data(), 64 * 4);
        frame_reader reader(this->guard_.name(), TypeParam::kind);
        ASSERT_TRUE(reader.wait(2s));
        ASSERT_TRUE(poke_header(TypeParam::kind, this->guard_.name(), c.offset, c.value));
        for (int attempt = 0; attempt < 3; ++attempt) {
            reader.wait(10ms);
            const auto info = reader.read(frame.data(), 64 * 4 * 4, frame.size());
            if (info) {
                // Whatever it returns is the frame the writer wrote, at the writer's size.
                EXPECT_EQ(info->width, 64u);
                EXPECT_EQ(info->height, 32u);
                EXPECT_TRUE(rows_hold(frame.data(), 64, 32, 64 * 4 * 4, 0x44));
            }
        }
    }
}

} // namespace
