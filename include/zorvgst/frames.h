// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame API: one writer and any number of readers per named buffer, on either backend, safe
// against everything the other side may do.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <zorvgst/backend.h>
#include <zorvgst/export.h>

namespace zorvgst {

/// One published frame: packed BGRA, `width` x `height` pixels.
struct frame_info {
    std::uint64_t number = 0; ///< the buffer's frame count after this frame's publication
    std::chrono::system_clock::time_point written; ///< when the writer published it
    unsigned width = 0;
    unsigned height = 0;
};

/// What the caller must handle: a buffer that cannot be created or sized (with the system's
/// reason), an invalid name, a live owner, a destination too small for the frame.
class ZORVGST_EXPORT error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace detail {
class attached_buffer;
}

/// The newest frame in shared memory, looked at without a copy, for hosts that cannot hand
/// frame_reader::view() a function (language bindings). The memory stays mapped while the view
/// exists, also after its reader has moved on to a new buffer or is gone. Trust the pixels only
/// once frame_reader::intact() has said the writer published nothing since the view was taken.
class ZORVGST_EXPORT frame_view {
public:
    /// Rows stride() bytes apart, width * 4 bytes each, read-only.
    const std::uint8_t* pixels() const { return pixels_; }
    std::size_t stride() const { return stride_; }
    const frame_info& info() const { return info_; }

private:
    friend class frame_reader;
    std::shared_ptr<detail::attached_buffer> mapping_;
    const std::uint8_t* pixels_ = nullptr;
    std::size_t stride_ = 0;
    frame_info info_;
};

/// Largest width or height a writer accepts and a reader trusts from a header; keeps every slot
/// size far from overflow.
inline constexpr unsigned max_frame_dimension = 32768;

/// The one writer of a named buffer. Refuses a buffer whose recorded owner is another live
/// process. A buffer of another size is replaced, never cut short under its readers. One thread
/// at a time; no allocation per frame.
class ZORVGST_EXPORT frame_writer {
public:
    /// Creates or takes over `name` for `width` x `height` frames. Throws zorvgst::error when the
    /// buffer cannot be made usable.
    frame_writer(const std::string& name, unsigned width, unsigned height,
                 backend kind = backend::posix);
    ~frame_writer();
    frame_writer(frame_writer&&) noexcept;
    frame_writer& operator=(frame_writer&&) noexcept;
    frame_writer(const frame_writer&) = delete;
    frame_writer& operator=(const frame_writer&) = delete;

    /// Copies one frame whose rows are `stride` bytes apart (at least width * 4) and publishes it.
    frame_info write(const void* pixels, std::size_t stride);
    /// The slot the next publish() makes current, rows width * 4 bytes apart: draw in place.
    std::uint8_t* frame();
    /// Makes the slot returned by frame() the newest frame, and wakes every reader.
    frame_info publish();
    /// Makes the buffer anew for frames of another size; readers follow.
    void resize(unsigned width, unsigned height);

    unsigned width() const;
    unsigned height() const;
    const std::string& name() const;
    backend kind() const;

private:
    struct state;
    std::unique_ptr<state> state_;
};

/// A reader of a named buffer. It attaches when a writer appears, and follows the writer through
/// restarts, resizes, removal and re-creation; nothing a writer does crashes it or blocks it past
/// its timeout. One thread at a time; no allocation per frame.
class ZORVGST_EXPORT frame_reader {
public:
    /// The backend is found from what exists under `name`, at each attachment.
    explicit frame_reader(const std::string& name);
    frame_reader(const std::string& name, backend kind);
    ~frame_reader();
    frame_reader(frame_reader&&) noexcept;
    frame_reader& operator=(frame_reader&&) noexcept;
    frame_reader(const frame_reader&) = delete;
    frame_reader& operator=(const frame_reader&) = delete;

    /// True as soon as a frame newer than the last one this reader returned is current (at once
    /// if there is one already); false when `timeout` passes (steady clock). Sleeps in the kernel
    /// until the writer publishes.
    bool wait(std::chrono::nanoseconds timeout);
    /// Copies the newest frame into `dst` (rows `stride` bytes apart, `capacity` bytes in all) and
    /// returns it if it is intact: the writer published nothing while it was copied. Nothing when
    /// there is no frame yet or every attempt was overtaken. Throws zorvgst::error when the frame
    /// does not fit the destination.
    std::optional<frame_info> read(void* dst, std::size_t stride, std::size_t capacity);
    /// Calls `fn(const std::uint8_t* pixels, std::size_t stride, const frame_info& info)` on the
    /// newest frame in shared memory, without a copy. Returns the info only if the writer did not
    /// publish while `fn` ran; otherwise the caller discards what `fn` computed.
    template <class Fn> std::optional<frame_info> view(Fn&& fn);
    /// The newest frame as a frame_view that outlives this call; nothing when there is none.
    std::optional<frame_view> look();
    /// Whether the writer published nothing since `view` was taken, so that its pixels were one
    /// frame all along. An intact view of the current buffer counts as returned: wait() then
    /// looks for a newer frame.
    bool intact(const frame_view& view);
    /// Ends a wait() in progress on another thread, or else the next one, at once: it returns
    /// false. The only member that may be called from another thread.
    void interrupt();
    /// The newest frame as the header describes it, without touching pixels. Like ready(), it
    /// attaches first when a writer has appeared since.
    std::optional<frame_info> newest() const;
    /// Attached to a buffer whose frames can be read.
    bool ready() const;

    const std::string& name() const;
    /// The backend of the buffer attached to, or nothing while detached.
    std::optional<backend> kind() const;
    /// Copies thrown away because the writer published while they ran.
    std::uint64_t dropped() const;

private:
    struct view_lease {
        const std::uint8_t* pixels = nullptr;
        std::size_t stride = 0;
        frame_info info;
    };
    std::optional<view_lease> begin_view();
    bool end_view(const view_lease& lease);

    struct state;
    std::unique_ptr<state> state_;
};

template <class Fn> std::optional<frame_info> frame_reader::view(Fn&& fn) {
    const std::optional<view_lease> lease = begin_view();
    if (!lease) {
        return std::nullopt;
    }
    fn(lease->pixels, lease->stride, lease->info);
    if (!end_view(*lease)) {
        return std::nullopt;
    }
    return lease->info;
}

} // namespace zorvgst
