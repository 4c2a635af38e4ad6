// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame API's reader: attaches when a writer appears, follows it through every change, and
// returns only frames the writer left alone while they were copied.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>

#include <zorvgst/frames.h>

#include "internal/copy_rows.h"
#include "internal/fault_guard.h"
#include "internal/frame_count_wake.h"
#include "internal/frames/attached_buffer.h"
#include "internal/header_time.h"
#include "internal/log.h"
#include "internal/ring/ring_attachment.h"

namespace zorvgst {

namespace {

using steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A buffer that exists but cannot be attached yet (being made, or corrupt) is tried again at this
// pace: every attempt may log.
constexpr auto attach_retry = 100ms;
// How often a reader with nothing to read checks whether its buffer was made anew or removed.
// Writers of this library wake their readers when they make a buffer anew, and so does the
// removal of a ring; the look is for everyone else, and can be rare.
constexpr auto replacement_check = 1000ms;
// Sleeps of a reader whose writer wakes it (or has not published yet), and of one whose writer
// publishes without waking (it is then polled). An idle reader wakes once a slice.
constexpr auto woken_slice = 1000ms;
constexpr auto polled_slice = 2ms;
// Copies tried per read() before giving up on a writer that publishes during each of them.
constexpr int copy_attempts = 3;

std::chrono::microseconds until(steady::time_point deadline, std::chrono::microseconds longest) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - steady::now());
    return std::max(std::chrono::microseconds(0), std::min(left, longest));
}

} // namespace

struct frame_reader::state {
    // Shared with interrupt() on other threads.
    std::atomic<bool> interrupted{false};
    std::atomic<const std::uint32_t*> sleeping_on{nullptr};
    std::uint32_t detached_word = 0; ///< slept on while no buffer is attached

    std::string name;
    std::optional<backend> fixed_kind;
    // Shared with the frame_views taken of it, which keep its memory mapped.
    std::shared_ptr<detail::attached_buffer> buffer;
    // The same attachment when it is a frame ring, shared with the leases taken of it.
    std::shared_ptr<detail::ring_attachment> ring;
    unsigned lease_limit = ~0u;
    detail::ring_frame viewed;
    steady::time_point next_attach{};
    steady::time_point next_replacement_check{};
    /// Number of the last frame returned from this attachment.
    std::optional<std::uint64_t> last_returned;
    bool writer_polled = false;
    std::uint64_t dropped = 0;
    bool warned_overtaken = false;
    /// indicator XOR (count & 1), fixed for one writer's run: learned, and relearned when several
    /// frames in a row disagree (a header reset or a repaired indicator changes it).
    std::optional<std::uint32_t> parity;
    int contrary_frames = 0;
    std::uint64_t last_contrary_count = 0;

    /// Whether frame `number` of `looked_at` stayed current while it was looked at; a frame of
    /// the attached buffer that did counts as returned, one that did not as dropped.
    bool settle_view(const std::shared_ptr<detail::attached_buffer>& looked_at,
                     std::uint64_t number) {
        __atomic_thread_fence(__ATOMIC_SEQ_CST);
        if (!looked_at || looked_at->frame_count() != number) {
            ++dropped;
            return false;
        }
        if (looked_at == buffer) {
            last_returned = number;
        }
        return true;
    }

    bool attach() {
        if (buffer) {
            return true;
        }
        const steady::time_point now = steady::now();
        if (now < next_attach) {
            return false;
        }
        const std::optional<backend> kind = fixed_kind ? fixed_kind : detail::detect_backend(name);
        if (kind == backend::posix && detail::ring_attachment::is_ring(name)) {
            ring = detail::ring_attachment::open_reader(name);
            buffer = ring;
        } else if (kind) {
            buffer = detail::attach_reader(*kind, name);
        }
        if (!buffer) {
            // Nothing under the name costs one lstat per try; a buffer that is there but not yet
            // usable is paced, since its attempts may log.
            next_attach = kind ? now + attach_retry : now;
            return false;
        }
        last_returned.reset();
        writer_polled = false;
        parity.reset();
        contrary_frames = 0;
        next_replacement_check = now + replacement_check;
        return true;
    }

    /// Attached, and the buffer is still the one attached to, at its size.
    bool usable() {
        if (!attach()) {
            return false;
        }
        // While a view maps this attachment, a failed layout check would unmap the memory under
        // it: only a buffer made anew under the name lets the attachment go then. Copies stay
        // guarded against a buffer cut short meanwhile.
        // A ring is never unmapped under what is held of it, and its writer retires it in its
        // header before making it anew: one load tells, where a name lookup would cost a
        // system call per frame. A ring removed without that is found by wait()'s look now and
        // then.
        const bool checked = ring                     ? ring->usable()
                             : buffer.use_count() > 1 ? !buffer->replaced()
                                                      : buffer->usable();
        if (!checked) {
            detach();
            return attach();
        }
        return true;
    }

    void detach() {
        buffer.reset();
        ring.reset();
    }

    frame_info describe_ring(const detail::ring_frame& frame) const {
        frame_info info;
        info.number = frame.number;
        info.written = detail::utc_from_header_time(frame.written)
                           .time.value_or(std::chrono::system_clock::time_point());
        info.width = ring->width();
        info.height = ring->height();
        return info;
    }

    /// Copies the newest frame of the ring with `copy_frame(slot_data)`, and returns it if its
    /// slot was left alone meanwhile.
    template <typename Copy>
    std::optional<frame_info> copy_ring_frame(Copy&& copy_frame, frame_timing* timing,
                                              std::vector<std::uint8_t>* metadata) {
        for (int attempt = 0; attempt < copy_attempts; ++attempt) {
            detail::ring_frame frame;
            if (!ring->newest(frame)) {
                return std::nullopt;
            }
            const std::uint8_t* data = ring->slot_data(frame.slot);
            const std::uint8_t* extra = ring->slot_metadata(frame.slot);
            if (metadata != nullptr) {
                // Within the capacity it was given: no allocation once it has grown.
                metadata->resize(frame.metadata_size);
            }
            const steady::time_point started = steady::now();
            const bool copied = detail::fault_guarded([&] {
                copy_frame(data);
                if (metadata != nullptr && frame.metadata_size != 0) {
                    std::memcpy(metadata->data(), extra, frame.metadata_size);
                }
            });
            if (!copied) {
                detach();
                return std::nullopt;
            }
            if (ring->unchanged(frame)) {
                last_returned = frame.number;
                if (timing != nullptr) {
                    *timing = frame.timing;
                }
                return describe_ring(frame);
            }
            overtaken(steady::now() - started, ring->frame_count() - frame.number);
        }
        return std::nullopt;
    }

    /// Whether `count` and `indicator` describe the same publication. A publication flips the
    /// indicator first and counts the frame next: a writer paused between the two stores leaves
    /// the indicator naming frame n + 1 while the count still says n, and the frame would be
    /// returned under the wrong number (and again under the right one).
    bool same_publication(std::uint64_t count, std::uint32_t indicator) {
        if (indicator > 1) {
            return false; // a corrupt indicator names no slot: no frame can be trusted
        }
        const std::uint32_t observed = indicator ^ static_cast<std::uint32_t>(count & 1);
        if (!parity || *parity == observed) {
            parity = observed;
            contrary_frames = 0;
            return true;
        }
        // A paused writer keeps the count where it is: only disagreement across frames counts.
        if (count != last_contrary_count) {
            last_contrary_count = count;
            if (++contrary_frames >= 3) {
                parity = observed;
                contrary_frames = 0;
                return true;
            }
        }
        return false;
    }

    /// The newest slot, with the count that goes with it; nothing while a publication is half
    /// done.
    const std::uint8_t* consistent_slot(std::uint64_t count) {
        const std::uint32_t named = buffer->indicator();
        if (!same_publication(count, named)) {
            return nullptr;
        }
        const std::uint8_t* slot = buffer->newest_slot();
        return buffer->indicator() == named ? slot : nullptr;
    }

    frame_info describe(std::uint64_t number, const boost::posix_time::ptime& written) const {
        frame_info info;
        info.number = number;
        info.written = detail::utc_from_header_time(written).time.value_or(
            std::chrono::system_clock::time_point());
        info.width = buffer->width();
        info.height = buffer->height();
        return info;
    }

    /// Says once that the writer outpaces this reader's copies, with both figures.
    void overtaken(steady::duration copy_time, std::uint64_t published_meanwhile) {
        ++dropped;
        if (warned_overtaken || published_meanwhile < 2) {
            return;
        }
        warned_overtaken = true;
        const auto copy_us = std::chrono::duration_cast<std::chrono::microseconds>(copy_time);
        ZORV_LOG_WARN("Writer of " << name << " Publishes Every "
                                   << copy_us.count() / static_cast<long long>(published_meanwhile)
                                   << " us, Faster Than This Reader Copies a Frame ("
                                   << copy_us.count() << " us) -- Overtaken Copies Are Dropped");
    }
};

frame_reader::frame_reader(const std::string& name) : state_(std::make_unique<state>()) {
    state_->name = name;
}

frame_reader::frame_reader(const std::string& name, backend kind) : frame_reader(name) {
    state_->fixed_kind = kind;
}

frame_reader::~frame_reader() = default;
frame_reader::frame_reader(frame_reader&&) noexcept = default;
frame_reader& frame_reader::operator=(frame_reader&&) noexcept = default;

void frame_reader::interrupt() {
    state& s = *state_;
    s.interrupted.store(true);
    __atomic_fetch_add(&s.detached_word, 1, __ATOMIC_SEQ_CST);
    detail::wake_word_sleepers(&s.detached_word);
    // Wakes the other sleepers of that buffer too; they look, and sleep again.
    if (const std::uint32_t* word = s.sleeping_on.load()) {
        detail::wake_word_sleepers(word);
    }
}

bool frame_reader::wait(std::chrono::nanoseconds timeout) {
    state& s = *state_;
    const steady::time_point deadline =
        steady::now() + std::chrono::duration_cast<steady::duration>(timeout);
    while (true) {
        if (s.interrupted.exchange(false)) {
            return false;
        }
        std::uint64_t count = 0;
        if (s.usable()) {
            count = s.buffer->frame_count();
            // A corrupt indicator names no frame: waiting on is all a reader can do.
            const bool has_frame =
                !s.buffer->last_write_time().is_not_a_date_time() && s.buffer->indicator() <= 1;
            if (has_frame && (!s.last_returned || *s.last_returned != count)) {
                return true;
            }
        }
        const steady::time_point now = steady::now();
        if (now >= deadline) {
            return false;
        }
        if (!s.buffer) {
            const std::uint32_t seen = __atomic_load_n(&s.detached_word, __ATOMIC_SEQ_CST);
            if (!s.interrupted.load()) {
                detail::sleep_while_word_is(
                    &s.detached_word, seen,
                    until(deadline, std::chrono::microseconds(attach_retry)));
            }
            continue;
        }
        if (now >= s.next_replacement_check) {
            s.next_replacement_check = now + replacement_check;
            if (s.buffer->replaced()) {
                s.detach();
                continue;
            }
        }
        if (s.ring) {
            s.ring->reclaim_dead_readers();
        }
        const std::uint32_t* word = s.buffer->wake_word();
        const auto seen = static_cast<std::uint32_t>(count);
        s.sleeping_on.store(word);
        // Looked at after publishing the word: an interrupt() from now on wakes this sleep.
        bool woken = false;
        if (!s.interrupted.load()) {
            woken = detail::sleep_while_word_is(
                word, seen, until(deadline, s.writer_polled ? polled_slice : woken_slice));
        }
        s.sleeping_on.store(nullptr);
        // A writer that publishes without waking (an older peer) is polled from then on.
        if (!woken && __atomic_load_n(word, __ATOMIC_ACQUIRE) != seen) {
            s.writer_polled = true;
        }
    }
}

namespace {

read_result outcome(const std::optional<frame_info>& copied) {
    read_result result;
    if (copied) {
        result.status = read_status::copied;
        result.info = *copied;
    }
    return result;
}

read_result refusal(read_status status, unsigned width, unsigned height, std::size_t needed) {
    read_result result;
    result.status = status;
    result.info.width = width;
    result.info.height = height;
    result.needed = needed;
    return result;
}

} // namespace

std::optional<frame_info> frame_reader::read(void* dst, std::size_t stride, std::size_t capacity) {
    const read_result result = try_read(dst, stride, capacity);
    if (result.status == read_status::several_planes) {
        throw error(error_code::invalid_format, "frames of " + state_->name + " are " +
                                                    state_->ring->format().name +
                                                    ", in several planes: copy() copies them");
    }
    if (result.status == read_status::too_small) {
        throw error(error_code::destination_too_small,
                    "destination of " + std::to_string(capacity) + " bytes with rows " +
                        std::to_string(stride) + " bytes apart cannot hold a " +
                        std::to_string(result.info.width) + "x" +
                        std::to_string(result.info.height) + " frame of " + state_->name);
    }
    return result ? std::optional<frame_info>(result.info) : std::nullopt;
}

read_result frame_reader::try_read(void* dst, std::size_t stride, std::size_t capacity) {
    state& s = *state_;
    if (!s.usable()) {
        return {};
    }
    detail::attached_buffer& buffer = *s.buffer;
    const unsigned width = buffer.width();
    const unsigned height = buffer.height();
    if (s.ring && s.ring->format().planes != 1) {
        return refusal(read_status::several_planes, width, height, s.ring->format().size);
    }
    const std::size_t row = s.ring ? s.ring->format().row_bytes(0) : std::size_t{width} * 4;
    // A caller's stride may be anything: a product that overflows fits nowhere.
    std::size_t needed = 0;
    const bool representable =
        !__builtin_mul_overflow(std::size_t{height} - 1, std::max(stride, row), &needed) &&
        !__builtin_add_overflow(needed, row, &needed);
    if (stride < row || !representable || capacity < needed) {
        return refusal(read_status::too_small, width, height,
                       representable ? needed : std::numeric_limits<std::size_t>::max());
    }
    auto* target = static_cast<std::uint8_t*>(dst);
    if (s.ring) {
        const plane_layout plane = s.ring->format().plane[0];
        return outcome(s.copy_ring_frame(
            [&](const std::uint8_t* data) {
                detail::copy_rows(target, stride, data + plane.offset, plane.stride, row, height);
            },
            nullptr, nullptr));
    }
    for (int attempt = 0; attempt < copy_attempts; ++attempt) {
        const std::uint64_t before = buffer.frame_count();
        const boost::posix_time::ptime written = buffer.last_write_time();
        if (written.is_not_a_date_time()) {
            return {};
        }
        const std::uint8_t* slot = s.consistent_slot(before);
        if (slot == nullptr) {
            std::this_thread::yield();
            continue;
        }
        const steady::time_point started = steady::now();
        const bool copied = detail::fault_guarded(
            [&] { detail::copy_rows(target, stride, slot, row, row, height); });
        if (!copied) {
            // The object was cut short under the copy: attach afresh next time.
            s.detach();
            return {};
        }
        // The pixels are read before the count is looked at again (a sequence-lock read). A full
        // fence: the copy's string loads are not ordered with later loads the way plain ones are.
        __atomic_thread_fence(__ATOMIC_SEQ_CST);
        const std::uint64_t after = buffer.frame_count();
        if (after == before) {
            s.last_returned = before;
            return outcome(s.describe(before, written));
        }
        s.overtaken(steady::now() - started, after - before);
    }
    return {};
}

std::optional<frame_reader::view_lease> frame_reader::begin_view() {
    state& s = *state_;
    if (!s.usable()) {
        return std::nullopt;
    }
    const std::uint64_t number = s.buffer->frame_count();
    const boost::posix_time::ptime written = s.buffer->last_write_time();
    if (written.is_not_a_date_time()) {
        return std::nullopt;
    }
    view_lease lease;
    if (s.ring) {
        if (!s.ring->newest(s.viewed)) {
            return std::nullopt;
        }
        const plane_layout plane = s.ring->format().plane[0];
        lease.pixels = s.ring->slot_data(s.viewed.slot) + plane.offset;
        lease.stride = plane.stride;
        lease.info = s.describe_ring(s.viewed);
        return lease;
    }
    lease.pixels = s.consistent_slot(number);
    if (lease.pixels == nullptr) {
        return std::nullopt;
    }
    lease.stride = std::size_t{s.buffer->width()} * 4;
    lease.info = s.describe(number, written);
    return lease;
}

bool frame_reader::end_view(const view_lease& lease) {
    state& s = *state_;
    if (s.ring) {
        // The slot's own sequence says whether it was rewritten: the writer publishing into
        // other slots meanwhile does not spoil the view.
        if (!s.ring->unchanged(s.viewed)) {
            ++s.dropped;
            return false;
        }
        s.last_returned = lease.info.number;
        return true;
    }
    return s.settle_view(s.buffer, lease.info.number);
}

std::optional<frame_view> frame_reader::look() {
    const std::optional<view_lease> lease = begin_view();
    if (!lease) {
        return std::nullopt;
    }
    frame_view view;
    view.mapping_ = state_->buffer;
    view.pixels_ = lease->pixels;
    view.stride_ = lease->stride;
    view.info_ = lease->info;
    return view;
}

bool frame_reader::intact(const frame_view& view) {
    return state_->settle_view(view.mapping_, view.info_.number);
}

std::optional<frame_info> frame_reader::newest() const {
    // Attaching is a cache of where the frames are, not part of what a caller observes. An
    // attached buffer is not re-examined here: wait() and read() already do, once per frame.
    state& s = *state_;
    if (!s.attach()) {
        return std::nullopt;
    }
    if (s.ring) {
        detail::ring_frame frame;
        if (!s.ring->newest(frame)) {
            return std::nullopt;
        }
        return s.describe_ring(frame);
    }
    const boost::posix_time::ptime written = s.buffer->last_write_time();
    if (written.is_not_a_date_time()) {
        return std::nullopt;
    }
    return s.describe(s.buffer->frame_count(), written);
}

bool frame_reader::ready() const {
    return state_->attach();
}

const std::string& frame_reader::name() const {
    return state_->name;
}

std::optional<backend> frame_reader::kind() const {
    if (!state_->buffer) {
        return std::nullopt;
    }
    return state_->buffer->kind();
}

std::uint64_t frame_reader::dropped() const {
    return state_->dropped;
}

std::optional<frame_info> frame_reader::copy(void* dst, std::size_t capacity, frame_timing* timing,
                                             std::vector<std::uint8_t>* metadata) {
    const read_result result = try_copy(dst, capacity, timing, metadata);
    if (result.status == read_status::too_small) {
        const frame_info& frame = result.info;
        if (!state_->ring) {
            throw error(error_code::destination_too_small,
                        "destination of " + std::to_string(capacity) + " bytes with rows " +
                            std::to_string(std::size_t{frame.width} * 4) +
                            " bytes apart cannot hold a " + std::to_string(frame.width) + "x" +
                            std::to_string(frame.height) + " frame of " + state_->name);
        }
        throw error(error_code::destination_too_small,
                    "destination of " + std::to_string(capacity) + " bytes cannot hold a " +
                        std::to_string(frame.width) + "x" + std::to_string(frame.height) + " " +
                        state_->ring->format().name + " frame of " + std::to_string(result.needed) +
                        " bytes of " + state_->name);
    }
    return result ? std::optional<frame_info>(result.info) : std::nullopt;
}

read_result frame_reader::try_copy(void* dst, std::size_t capacity, frame_timing* timing,
                                   std::vector<std::uint8_t>* metadata) {
    state& s = *state_;
    if (!s.usable()) {
        return {};
    }
    if (!s.ring) {
        const std::size_t stride = std::size_t{s.buffer->width()} * 4;
        if (timing != nullptr) {
            *timing = frame_timing{};
        }
        if (metadata != nullptr) {
            metadata->clear();
        }
        return try_read(dst, stride, capacity);
    }
    const std::size_t size = s.ring->format().size;
    if (capacity < size) {
        return refusal(read_status::too_small, s.ring->width(), s.ring->height(), size);
    }
    auto* target = static_cast<std::uint8_t*>(dst);
    return outcome(s.copy_ring_frame(
        [&](const std::uint8_t* data) { std::memcpy(target, data, size); }, timing, metadata));
}

std::optional<frame_info> frame_reader::copy(std::vector<std::uint8_t>& frame, frame_timing* timing,
                                             std::vector<std::uint8_t>* metadata) {
    // A destination too small names the size it needs: a writer that grows its frames between
    // that answer and the next copy is followed a few times, like a copy it overtakes.
    for (int attempt = 0; attempt <= copy_attempts; ++attempt) {
        const read_result result = try_copy(frame.data(), frame.size(), timing, metadata);
        if (result.status == read_status::too_small) {
            frame.resize(result.needed);
            continue;
        }
        if (!result) {
            return std::nullopt;
        }
        // A smaller frame than the last: the vector says the size of this one.
        frame.resize(state_->ring ? state_->ring->format().size
                                  : std::size_t{result.info.width} * result.info.height * 4);
        return result.info;
    }
    return std::nullopt;
}

std::optional<frame_lease> frame_reader::hold() {
    state& s = *state_;
    if (!s.usable() || !s.ring) {
        return std::nullopt;
    }
    detail::ring_frame frame;
    std::uint64_t* word = s.ring->take_lease(frame, s.lease_limit);
    if (word == nullptr) {
        return std::nullopt;
    }
    frame_lease lease;
    lease.ring_ = s.ring;
    lease.word_ = word;
    lease.data_ = s.ring->slot_data(frame.slot);
    lease.format_ = &s.ring->format();
    lease.info_ = s.describe_ring(frame);
    lease.timing_ = frame.timing;
    lease.metadata_ = s.ring->slot_metadata(frame.slot);
    lease.metadata_size_ = frame.metadata_size;
    s.last_returned = frame.number;
    return lease;
}

void frame_reader::limit_leases(unsigned count) {
    state_->lease_limit = count;
}

std::optional<buffer_layout> frame_reader::layout() const {
    if (!state_->buffer) {
        return std::nullopt;
    }
    return state_->ring ? buffer_layout::frame_ring : buffer_layout::double_buffer;
}

std::optional<frame_format> frame_reader::format() const {
    const state& s = *state_;
    if (!s.buffer) {
        return std::nullopt;
    }
    if (s.ring) {
        return s.ring->format();
    }
    return frame_format::of("BGRA", s.buffer->width(), s.buffer->height());
}

frame_lease::~frame_lease() {
    release();
}

frame_lease::frame_lease(frame_lease&& other) noexcept {
    *this = std::move(other);
}

frame_lease& frame_lease::operator=(frame_lease&& other) noexcept {
    if (this != &other) {
        release();
        ring_ = std::move(other.ring_);
        word_ = std::exchange(other.word_, nullptr);
        data_ = std::exchange(other.data_, nullptr);
        format_ = std::exchange(other.format_, nullptr);
        info_ = other.info_;
        timing_ = other.timing_;
        metadata_ = std::exchange(other.metadata_, nullptr);
        metadata_size_ = std::exchange(other.metadata_size_, 0);
    }
    return *this;
}

void frame_lease::release() {
    if (word_ != nullptr) {
        detail::ring_attachment::end_lease(word_);
    }
    word_ = nullptr;
    data_ = nullptr;
    metadata_ = nullptr;
    metadata_size_ = 0;
    // Last: the word lives in the mapping this reference keeps.
    ring_.reset();
}

const std::uint8_t* frame_lease::plane(unsigned index) const {
    return index < format_->planes ? data_ + format_->plane[index].offset : nullptr;
}

std::size_t frame_lease::stride(unsigned index) const {
    return index < format_->planes ? format_->plane[index].stride : 0;
}

} // namespace zorvgst
