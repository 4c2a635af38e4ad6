// Peers that die or misbehave: killed writers and readers, resizes under readers, corrupt headers.
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "fault_backends.h"
#include "support/child_process.h"
#include "support/shm_guard.h"

namespace {

using namespace faulttest;
using zorvtest::ChildProcess;
using zorvtest::ShmGuard;

template <typename Backend> class DoubleBufferFaults : public ::testing::Test {
protected:
    ShmGuard guard_;
};

using Backends = ::testing::Types<PosixBackend, SysvBackend>;
class BackendNames {
public:
    template <typename T> static std::string GetName(int) { return T::label; }
};
TYPED_TEST_SUITE(DoubleBufferFaults, Backends, BackendNames);

constexpr std::size_t frame_width = 64;
constexpr std::size_t frame_height = 32;
constexpr std::size_t frame_bytes = frame_width * frame_height * 4;

bool slot_filled_with(const guint8* slot, std::size_t bytes, guint8 value) {
    for (std::size_t i = 0; i < bytes; ++i) {
        if (slot[i] != value) {
            return false;
        }
    }
    return true;
}

TYPED_TEST(DoubleBufferFaults, WriterKilledMidFrameLeavesTheLastCompleteFrameThenExpires) {
    using handle = typename TypeParam::handle;
    const std::string name = this->guard_.name();
    Signal half_written;
    ChildProcess writer_process([&] {
        handle writer(name.c_str(), bip::read_write, frame_width, frame_height);
        if (!writer.is_valid()) {
            return 1;
        }
        writer.grab_write_sem();
        std::memset(writer.get_write_address(), 0x11, frame_bytes);
        writer.release_write_sem();
        // The next frame is half written when the writer dies.
        writer.grab_write_sem();
        std::memset(writer.get_write_address(), 0x22, frame_bytes / 2);
        half_written.raise();
        ::pause();
        return 0;
    });
    ASSERT_TRUE(half_written.wait());
    const pid_t writer_pid = writer_process.pid();
    writer_process.kill_and_reap(SIGKILL);

    handle reader(name.c_str(), bip::read_only);
    ASSERT_TRUE(reader.is_valid());
    EXPECT_EQ(reader.get_width(), frame_width);
    EXPECT_EQ(reader.get_height(), frame_height);
    reader.grab_read_sem();
    const guint8* frame = reader.get_read_address();
    EXPECT_TRUE(slot_filled_with(frame, frame_bytes, 0x11));
    reader.release_read_sem();
    EXPECT_EQ(frame_count_of(reader.get_header()), 1u);
    // Nothing more comes: a bounded wait ends at its deadline.
    const auto start = std::chrono::steady_clock::now();
    reader.wait_for_write(TypeParam::deadline_in(50));
    EXPECT_LT(elapsed_ms(start), 2000);

    EXPECT_EQ(TypeParam::owner(name), writer_pid);
    EXPECT_TRUE(TypeParam::expire(name));
    EXPECT_TRUE(TypeParam::gone(name));
    // A reader mapped before the removal keeps its frame.
    EXPECT_TRUE(slot_filled_with(reader.get_read_address(), frame_bytes, 0x11));
    EXPECT_FALSE(TypeParam::expire(name));
}

// A writer restarted after a crash owns its buffer again: supervisors must not expire it.
TYPED_TEST(DoubleBufferFaults, RestartedWriterOwnsItsBufferAgainAndOutlivesExpiry) {
    using handle = typename TypeParam::handle;
    const std::string name = this->guard_.name();
    const auto writer_of = [&](guint8 value, const Signal& published) {
        return [&name, value, &published] {
            handle writer(name.c_str(), bip::read_write, frame_width, frame_height);
            if (!writer.is_valid()) {
                return 1;
            }
            for (bool first = true;; first = false) {
                writer.grab_write_sem();
                std::memset(writer.get_write_address(), value, frame_bytes);
                writer.release_write_sem();
                if (first) {
                    published.raise();
                }
                ::usleep(5000);
            }
        };
    };
    Signal crashed_published;
    ChildProcess crashed(writer_of(0x11, crashed_published));
    ASSERT_TRUE(crashed_published.wait());
    crashed.kill_and_reap(SIGKILL);

    Signal restarted_published;
    ChildProcess restarted(writer_of(0x22, restarted_published));
    ASSERT_TRUE(restarted_published.wait());
    EXPECT_EQ(TypeParam::owner(name), restarted.pid());
    EXPECT_FALSE(TypeParam::expire(name));
    ASSERT_FALSE(TypeParam::gone(name));

    handle reader(name.c_str(), bip::read_only);
    ASSERT_TRUE(reader.is_valid());
    const std::uint64_t before = frame_count_of(reader.get_header());
    reader.wait_for_write(TypeParam::deadline_in(5000));
    EXPECT_GT(frame_count_of(reader.get_header()), before);
    reader.grab_read_sem();
    EXPECT_TRUE(slot_filled_with(reader.get_read_address(), frame_bytes, 0x22));
    reader.release_read_sem();
    restarted.kill_and_reap(SIGKILL);
}

TYPED_TEST(DoubleBufferFaults, ReaderKilledInsideItsWaitHoldsUpNeitherWriterNorOtherReaders) {
    using handle = typename TypeParam::handle;
    const std::string name = this->guard_.name();
    handle writer(name.c_str(), bip::read_write, frame_width, frame_height);
    ASSERT_TRUE(writer.is_valid());
    writer.release_write_sem();

    // Dies while waiting without a deadline.
    Signal waiting;
    ChildProcess doomed([&] {
        handle reader(name.c_str(), bip::read_only);
        if (!reader.is_valid()) {
            return 1;
        }
        waiting.raise();
        reader.wait_for_write(boost::posix_time::ptime(boost::posix_time::not_a_date_time));
        return 0;
    });
    ASSERT_TRUE(waiting.wait());
    ASSERT_TRUE(zorvtest::wait_until_sleeping(doomed.pid()));
    doomed.kill_and_reap(SIGKILL);

    // A later waiter is woken by the next publication long before its deadline.
    Signal survivor_waiting;
    ChildProcess survivor([&] {
        handle reader(name.c_str(), bip::read_only);
        if (!reader.is_valid()) {
            return 1;
        }
        const std::uint64_t before = frame_count_of(reader.get_header());
        survivor_waiting.raise();
        const auto start = std::chrono::steady_clock::now();
        reader.wait_for_write(TypeParam::deadline_in(8000));
        if (elapsed_ms(start) > 4000) {
            return 2;
        }
        return frame_count_of(reader.get_header()) > before ? 0 : 3;
    });
    ASSERT_TRUE(survivor_waiting.wait());
    ASSERT_TRUE(zorvtest::wait_until_sleeping(survivor.pid()));
    const auto publish_start = std::chrono::steady_clock::now();
    writer.release_write_sem();
    EXPECT_LT(elapsed_ms(publish_start), 1000);
    EXPECT_EQ(survivor.wait(std::chrono::seconds(10)), 0);

    // Bounded waits in this process still end at their deadline.
    handle reader(name.c_str(), bip::read_only);
    ASSERT_TRUE(reader.is_valid());
    const auto start = std::chrono::steady_clock::now();
    reader.wait_for_write(TypeParam::deadline_in(100));
    EXPECT_LT(elapsed_ms(start), 2000);
}

// A reader as a real program writes it: it follows the header's dimensions, reopening when they
// change or when its buffer stops publishing, and accepts a frame only when no publication
// happened while it copied. Returns 0 when every accepted frame was whole and it saw `final`.
template <typename Backend>
int follow_resizing_writer(const std::string& name, std::uint32_t final_width, int seconds) {
    using handle = typename Backend::handle;
    std::vector<guint8> copy;
    bool saw_final = false;
    const auto start = std::chrono::steady_clock::now();
    while (elapsed_ms(start) < seconds * 1000) {
        handle reader(name.c_str(), bip::read_only);
        if (!reader.is_valid()) {
            ::usleep(1000);
            continue;
        }
        for (int idle = 0; idle < 3 && elapsed_ms(start) < seconds * 1000;) {
            const auto* header = reader.get_header();
            if (__atomic_load_n(&header->width, __ATOMIC_ACQUIRE) != reader.get_width() ||
                __atomic_load_n(&header->height, __ATOMIC_ACQUIRE) != reader.get_height()) {
                break;
            }
            const std::uint64_t before = frame_count_of(header);
            reader.wait_for_write(Backend::deadline_in(50));
            if (frame_count_of(header) == before) {
                ++idle;
                continue;
            }
            idle = 0;
            const std::uint64_t count = frame_count_of(header);
            const std::size_t bytes = reader.get_width() * reader.get_height() * 4;
            copy.resize(bytes);
            std::memcpy(copy.data(), reader.get_read_address(), bytes);
            copy_then_recheck_fence();
            if (frame_count_of(header) != count) {
                continue; // torn: the writer came round to this slot while it was copied
            }
            if (count == 0 ||
                __atomic_load_n(&header->width, __ATOMIC_ACQUIRE) != reader.get_width() ||
                __atomic_load_n(&header->height, __ATOMIC_ACQUIRE) != reader.get_height()) {
                continue; // reset or resized since the wait: not a frame of these dimensions
            }
            if (!slot_filled_with(copy.data(), bytes, copy[0])) {
                return 3;
            }
            saw_final = saw_final || reader.get_width() == final_width;
        }
    }
    return saw_final ? 0 : 4;
}

TYPED_TEST(DoubleBufferFaults, ReadersSurviveAWriterThatResizesUnderThem) {
    using handle = typename TypeParam::handle;
    const std::string name = this->guard_.name();
    // Growing only: a shrinking object would cut pages from under the readers' old mappings.
    const std::uint32_t widths[] = {32, 64, 128, 256};
    const std::uint32_t final_width = widths[3];
    std::vector<std::unique_ptr<ChildProcess>> readers;
    for (int i = 0; i < 2; ++i) {
        readers.push_back(std::make_unique<ChildProcess>(
            [&] { return follow_resizing_writer<TypeParam>(name, final_width, 3); }));
    }
    guint8 value = 1;
    for (const std::uint32_t width : widths) {
        if (std::string(TypeParam::label) == "sysv") {
            // Segments have a fixed size: the writer replaces the buffer.
            handle::remove(name.c_str());
        }
        handle writer(name.c_str(), bip::read_write, width, width / 2);
        ASSERT_TRUE(writer.is_valid()) << width;
        for (int frame = 0; frame < 20; ++frame, value = value % 250 + 1) {
            writer.grab_write_sem();
            std::memset(writer.get_write_address(), value, std::size_t{width} * (width / 2) * 4);
            writer.release_write_sem();
            ::usleep(10000);
        }
    }
    handle last(name.c_str(), bip::read_write, final_width, final_width / 2);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < until) {
        last.grab_write_sem();
        std::memset(last.get_write_address(), value,
                    std::size_t{final_width} * final_width / 2 * 4);
        last.release_write_sem();
        value = value % 250 + 1;
        ::usleep(10000);
    }
    for (auto& reader : readers) {
        EXPECT_EQ(reader->wait(std::chrono::seconds(10)), 0);
    }
}

// A header written by a hostile or broken peer after a reader validated, or before it opens.
struct Corruption {
    const char* what;
    std::uint32_t indicator;
    std::uint32_t width;
    std::uint32_t height;
};

const Corruption corruptions[] = {
    {"indicator 7", 7, frame_width, frame_height},
    {"dimensions beyond the object", 0, 65535, 65535},
    {"zero dimensions", 1, 0, 0},
    {"everything at once", 7, 0xFFFFFFFFu, 0xFFFFFFFFu},
};

// Every reader operation on `reader`; 0 when none left the mapping, otherwise a code naming
// the operation that did.
template <typename Backend> int exercise_reader(typename Backend::handle& reader) {
    try {
        reader.is_valid();
        reader.check_and_init_if_necessary();
    } catch (const std::runtime_error&) {
        // A validated reader may refuse dimensions that no longer match: that is a clean stop.
    }
    try {
        reader.grab_read_sem();
    } catch (const std::runtime_error&) {
    }
    // An invalid handle maps afresh at every attempt: take the mapping as it is now.
    const auto* header = reader.get_header();
    const auto* base = reinterpret_cast<const guint8*>(header);
    const std::uint64_t size = Backend::object_size(reader);
    try {
        const guint8* slot = reader.get_read_address();
        const std::uint64_t bytes = std::uint64_t{reader.get_width()} * reader.get_height() * 4;
        if (header == nullptr || slot < base + 40 || slot + bytes > base + size) {
            return 10;
        }
        volatile guint8 sink = 0;
        for (std::uint64_t i = 0; i < bytes; i += 4096) {
            sink = sink + slot[i];
        }
        if (bytes != 0) {
            sink = sink + slot[bytes - 1];
        }
    } catch (const std::runtime_error&) {
    }
    reader.release_read_sem();
    reader.wait_for_write(Backend::deadline_in(-1000));
    reader.get_last_write_time();
    Backend::owner(reader.get_name());
    if (Backend::expire(reader.get_name())) {
        return 11; // the owner (the test process) is alive
    }
    return 0;
}

TYPED_TEST(DoubleBufferFaults, CorruptHeaderNeverSendsAReaderOutsideTheObject) {
    using handle = typename TypeParam::handle;
    const std::string name = this->guard_.name();
    for (const Corruption& corruption : corruptions) {
        SCOPED_TRACE(corruption.what);
        handle writer(name.c_str(), bip::read_write, frame_width, frame_height);
        ASSERT_TRUE(writer.is_valid());
        // Undo the previous case's damage.
        ASSERT_TRUE(TypeParam::poke32(writer, TypeParam::indicator_offset, 0));
        ASSERT_TRUE(TypeParam::poke32(writer, TypeParam::width_offset, frame_width));
        ASSERT_TRUE(TypeParam::poke32(writer, TypeParam::height_offset, frame_height));
        writer.release_write_sem();
        handle validated(name.c_str(), bip::read_only);
        ASSERT_TRUE(validated.is_valid());

        ASSERT_TRUE(TypeParam::poke32(writer, TypeParam::indicator_offset, corruption.indicator));
        ASSERT_TRUE(TypeParam::poke32(writer, TypeParam::width_offset, corruption.width));
        ASSERT_TRUE(TypeParam::poke32(writer, TypeParam::height_offset, corruption.height));

        // In children: a crash must fail the case, not end the test program.
        ChildProcess after_validation([&] { return exercise_reader<TypeParam>(validated); });
        EXPECT_EQ(after_validation.wait(), 0);
        ChildProcess fresh([&] {
            handle reader(name.c_str(), bip::read_only);
            return exercise_reader<TypeParam>(reader);
        });
        EXPECT_EQ(fresh.wait(), 0);
        ChildProcess expecting_dimensions([&] {
            handle reader(name.c_str(), bip::read_only, frame_width, frame_height);
            return exercise_reader<TypeParam>(reader);
        });
        EXPECT_EQ(expecting_dimensions.wait(), 0);
    }
}

} // namespace
