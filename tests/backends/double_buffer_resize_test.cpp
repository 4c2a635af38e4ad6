// SPDX-License-Identifier: LGPL-2.1-or-later
// Writers that come back at another size, or shrink their object while readers copy from it.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <log4cxx/level.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/library.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/render.h>
#include <zorvgst/sysv_double_buffer.h>

#include "internal/fault_guard.h"
#include "support/backend_params.h"
#include "support/capture_appender.h"
#include "support/child_process.h"
#include "support/shm_guard.h"

namespace {

namespace bip = boost::interprocess;
using zorvtest::ChildProcess;
using zorvtest::LogCapture;
using zorvtest::ShmGuard;
using zorvtest::Signal;

// The handle class of each backend: these cases hold the handles to their own contract.
template <typename Backend>
using handle_of =
    std::conditional_t<Backend::kind == zorvgst::backend::sysv,
                       sysv_double_buffer::sysv_double_buffer_t, posix_double_buffer_t>;

template <typename Handle>
void publish(Handle& writer, std::size_t width, std::size_t height, guint8 value) {
    writer.grab_write_sem();
    std::memset(writer.get_write_address(), value, width * height * 4);
    writer.release_write_sem();
}

template <typename Handle> bool newest_frame_is(Handle& reader, guint8 value) {
    reader.grab_read_sem();
    const guint8* slot = reader.get_read_address();
    const std::size_t bytes = reader.get_width() * reader.get_height() * 4;
    bool same = bytes != 0;
    for (std::size_t i = 0; i < bytes && same; ++i) {
        same = slot[i] == value;
    }
    reader.release_read_sem();
    return same;
}

template <typename Backend> class WriterComesBack : public ::testing::Test {
protected:
    /// Makes the writer's buffer anew at `width` x `height`, as a restarted camera process does.
    std::unique_ptr<handle_of<Backend>> restart_writer(std::size_t width, std::size_t height) {
        const bool other_size = compute_size(width, height) != current_size_;
        current_size_ = compute_size(width, height);
        if (Backend::kind == zorvgst::backend::sysv && other_size) {
            // A segment cannot change size: the buffer is removed and made again.
            handle_of<Backend>::remove(guard_.c_str());
        }
        return std::make_unique<handle_of<Backend>>(guard_.c_str(), bip::read_write, width, height);
    }
    ShmGuard guard_;
    std::uint64_t current_size_ = 0;
};

TYPED_TEST_SUITE(WriterComesBack, zorvtest::Backends, zorvtest::BackendNames);

TYPED_TEST(WriterComesBack, ReadersLetGoOfTheOldLayoutAndFindTheNewOne) {
    using handle = handle_of<TypeParam>;
    auto writer = this->restart_writer(64, 32);
    ASSERT_TRUE(writer->is_valid());
    publish(*writer, 64, 32, 0x11);
    handle adopting(this->guard_.c_str(), bip::read_only);
    handle fixed(this->guard_.c_str(), bip::read_only, 64, 32);
    ASSERT_TRUE(adopting.is_valid());
    ASSERT_TRUE(fixed.is_valid());
    EXPECT_TRUE(adopting.confirm_layout());
    EXPECT_TRUE(newest_frame_is(adopting, 0x11));

    writer.reset();
    writer = this->restart_writer(32, 16);
    ASSERT_TRUE(writer->is_valid());
    publish(*writer, 32, 16, 0x22);
    {
        LogCapture capture;
        EXPECT_FALSE(adopting.confirm_layout());
        EXPECT_EQ(capture.count_at(log4cxx::Level::ERROR_INT), 1u);
    }
    // The handle let go of the old mapping: nothing can be read through it by mistake.
    EXPECT_EQ(adopting.get_header(), nullptr);
    ASSERT_TRUE(adopting.is_valid());
    EXPECT_EQ(adopting.get_width(), 32u);
    EXPECT_EQ(adopting.get_height(), 16u);
    EXPECT_TRUE(newest_frame_is(adopting, 0x22));
    // A reader that asked for 64x32 waits for a writer of that size, as it does at open.
    EXPECT_FALSE(fixed.confirm_layout());
    EXPECT_FALSE(fixed.is_valid());

    // Same bytes, other dimensions: only the header tells.
    writer.reset();
    writer = this->restart_writer(16, 32);
    ASSERT_TRUE(writer->is_valid());
    publish(*writer, 16, 32, 0x33);
    EXPECT_FALSE(adopting.confirm_layout());
    ASSERT_TRUE(adopting.is_valid());
    EXPECT_EQ(adopting.get_width(), 16u);
    EXPECT_EQ(adopting.get_height(), 32u);
    EXPECT_TRUE(newest_frame_is(adopting, 0x33));
    EXPECT_TRUE(adopting.confirm_layout());
}

// What a subscriber does: render from a reader it opened while the writer was larger.
TEST(RenderFromDoubleBuffer, ShrunkBufferCopiesNothingThenFollowsTheNewSize) {
    ShmGuard guard;
    auto writer = std::make_unique<double_buffer_t>(guard.c_str(), bip::read_write, 256, 128);
    ASSERT_TRUE(writer->is_valid());
    publish(*writer, 256, 128, 0x11);
    double_buffer_t reader(guard.c_str(), bip::read_only);
    ASSERT_TRUE(reader.is_valid());
    std::vector<guint8> frame(256 * 128 * 4, 0);
    render(reader, frame.data(), 256, 128, 0, 0, 256);
    ASSERT_EQ(frame.front(), 0x11);

    writer.reset();
    writer = std::make_unique<double_buffer_t>(guard.c_str(), bip::read_write, 64, 32);
    ASSERT_TRUE(writer->is_valid());
    publish(*writer, 64, 32, 0x22);
    std::fill(frame.begin(), frame.end(), 0);
    {
        LogCapture capture;
        render(reader, frame.data(), 256, 128, 0, 0, 256);
        EXPECT_EQ(capture.count_at(log4cxx::Level::ERROR_INT), 1u);
    }
    EXPECT_EQ(std::count(frame.begin(), frame.end(), 0), static_cast<long>(frame.size()));

    // The caller's old dimensions no longer fit: refused, not read past the slot.
    render(reader, frame.data(), 256, 128, 0, 0, 256);
    EXPECT_EQ(frame.front(), 0);
    EXPECT_EQ(reader.get_width(), 64u);
    render(reader, frame.data(), 64, 32, 0, 0, 64);
    EXPECT_EQ(frame.front(), 0x22);
    EXPECT_EQ(frame[64 * 32 * 4 - 1], 0x22);
}

// A scratch file standing in for a shared object that is cut short under a mapping.
class TruncatedMapping {
public:
    TruncatedMapping() {
        const long page = ::sysconf(_SC_PAGESIZE);
        bytes_ = static_cast<std::size_t>(page) * 2;
        fd_ = ::memfd_create("fault_guard_test", 0);
        if (fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(bytes_)) == 0) {
            void* mapped = ::mmap(nullptr, bytes_, PROT_READ, MAP_SHARED, fd_, 0);
            base_ = mapped == MAP_FAILED ? nullptr : static_cast<const guint8*>(mapped);
        }
        // Only the first page stays backed.
        if (base_ != nullptr && ::ftruncate(fd_, page) != 0) {
            base_ = nullptr;
        }
    }
    ~TruncatedMapping() {
        if (base_ != nullptr) {
            ::munmap(const_cast<guint8*>(base_), bytes_);
        }
        ::close(fd_);
    }
    const guint8* backed() const { return base_; }
    const guint8* cut_off() const { return base_ + bytes_ / 2; }
    bool ok() const { return base_ != nullptr; }

private:
    int fd_ = -1;
    std::size_t bytes_ = 0;
    const guint8* base_ = nullptr;
};

TEST(FaultGuard, CopyPastTheObjectsEndFailsAndTheThreadKeepsWorking) {
    TruncatedMapping mapping;
    ASSERT_TRUE(mapping.ok());
    volatile guint8 sink = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Again and again: a guard that left SIGBUS blocked would let the second fault kill us.
        EXPECT_FALSE(zorvgst::detail::fault_guarded([&] { sink = sink + mapping.cut_off()[0]; }));
        EXPECT_TRUE(zorvgst::detail::fault_guarded([&] { sink = sink + mapping.backed()[0]; }));
    }
}

// The host's own handler keeps seeing every SIGBUS that is not ours.
TEST(FaultGuard, FaultsOutsideAGuardedCopyReachTheHandlerInstalledBefore) {
    ChildProcess child([] {
        struct sigaction host_handler {};
        host_handler.sa_handler = [](int) { ::_exit(42); };
        sigemptyset(&host_handler.sa_mask);
        ::sigaction(SIGBUS, &host_handler, nullptr);
        TruncatedMapping mapping;
        if (!mapping.ok()) {
            return 1;
        }
        volatile guint8 sink = 0;
        if (zorvgst::detail::fault_guarded([&] { sink = sink + mapping.cut_off()[0]; })) {
            return 2;
        }
        sink = sink + mapping.cut_off()[0];
        return 3;
    });
    EXPECT_EQ(child.wait(), 42);
}

// The remaining window: the writer truncates after the reader's size check, during its copy.
TEST(RenderFromDoubleBuffer, ReadersSurviveAWriterShrinkingInATightLoop) {
    ShmGuard guard;
    constexpr unsigned large = 512;
    constexpr unsigned small = 16;
    double_buffer_t writer(guard.c_str(), bip::read_write, large, large);
    ASSERT_TRUE(writer.is_valid());
    publish(writer, large, large, 0x11);

    Signal started;
    ChildProcess shrinker([&] {
        // Raw truncation, faster than any real writer: the object flips between both sizes.
        const int fd = ::shm_open(("/" + guard.name()).c_str(), O_RDWR, 0);
        if (fd < 0) {
            return 1;
        }
        started.raise();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < until) {
            if (::ftruncate(fd, static_cast<off_t>(compute_size(small, small))) != 0 ||
                ::ftruncate(fd, static_cast<off_t>(compute_size(large, large))) != 0) {
                return 2;
            }
        }
        return 0;
    });
    ASSERT_TRUE(started.wait());

    std::vector<std::unique_ptr<ChildProcess>> readers;
    for (int i = 0; i < 2; ++i) {
        readers.push_back(std::make_unique<ChildProcess>([&] {
            // Reopened at whatever size it finds; the log stays quiet so the loop runs fast.
            logger->setLevel(log4cxx::Level::getOff());
            double_buffer_t reader(guard.c_str(), bip::read_only, large, large);
            std::vector<guint8> frame(std::size_t{large} * large * 4);
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
            while (std::chrono::steady_clock::now() < until) {
                render(reader, frame.data(), large, large, 0, 0, large);
            }
            return 0;
        }));
    }
    for (auto& reader : readers) {
        EXPECT_EQ(reader->wait(std::chrono::seconds(20)), 0);
    }
    EXPECT_EQ(shrinker.wait(std::chrono::seconds(20)), 0);
}

} // namespace
