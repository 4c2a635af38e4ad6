// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame API: one writer and any number of readers per named buffer, on either backend, safe
// against everything the other side may do.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <zorvgst/backend.h>
#include <zorvgst/buffer_name.h>
#include <zorvgst/error.h>
#include <zorvgst/export.h>
#include <zorvgst/frame_format.h>

namespace zorvgst {

/// One published frame, `width` x `height` pixels (packed BGRA on a double buffer).
struct frame_info {
    std::uint64_t number = 0; ///< the buffer's frame count after this frame's publication
    std::chrono::system_clock::time_point written; ///< when the writer published it
    unsigned width = 0;
    unsigned height = 0;
};

/// What a non-throwing read found: a frame that does not fit is a routine race (the writer made
/// larger frames since the caller sized its destination), not an error.
enum class read_status {
    /// The frame in `info` was copied, intact.
    copied,
    /// No frame yet, or every attempt was overtaken, or the writer went away: look again.
    no_frame,
    /// The frame, `info.width` x `info.height`, needs `needed` bytes: more than the destination.
    too_small,
    /// The frame is in several planes: copy() copies it, read() copies one plane.
    several_planes,
};

/// The outcome of frame_reader::try_read() and try_copy().
struct read_result {
    read_status status = read_status::no_frame;
    /// The frame copied; for too_small, the frame that did not fit (its number and size).
    frame_info info;
    /// For too_small, the bytes the destination needs for that frame.
    std::size_t needed = 0;

    explicit operator bool() const { return status == read_status::copied; }
};

namespace detail {
class attached_buffer;
class ring_attachment;
} // namespace detail

/// A frame of a frame ring held in shared memory, without a copy: its writer writes no other
/// frame into that memory until the lease ends (it is destroyed or released), however long that
/// is, and never waits for it either. The memory stays mapped while the lease exists, also after
/// its reader has moved on or is gone. Move-only; may be released on any thread.
class ZORVGST_EXPORT frame_lease {
public:
    frame_lease() = default;
    ~frame_lease();
    frame_lease(frame_lease&& other) noexcept;
    frame_lease& operator=(frame_lease&& other) noexcept;
    frame_lease(const frame_lease&) = delete;
    frame_lease& operator=(const frame_lease&) = delete;

    /// The frame's first byte; plane i starts at format().plane[i].offset from here. Read-only.
    const std::uint8_t* data() const { return data_; }
    const std::uint8_t* plane(unsigned index) const;
    std::size_t stride(unsigned index) const;
    const frame_format& format() const { return *format_; }
    const frame_info& info() const { return info_; }
    const frame_timing& timing() const { return timing_; }
    /// The user metadata the writer published with the frame.
    const std::uint8_t* metadata() const { return metadata_; }
    std::size_t metadata_size() const { return metadata_size_; }

    /// Ends the lease now; the lease is empty afterwards.
    void release();
    explicit operator bool() const { return data_ != nullptr; }

private:
    friend class frame_reader;
    std::shared_ptr<detail::ring_attachment> ring_;
    std::uint64_t* word_ = nullptr;
    const std::uint8_t* data_ = nullptr;
    const frame_format* format_ = nullptr;
    frame_info info_;
    frame_timing timing_;
    const std::uint8_t* metadata_ = nullptr;
    std::size_t metadata_size_ = 0;
};

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
/// at a time; no allocation per frame. Any name of one /dev/shm entry works
/// (is_plain_buffer_name()), but only names ending in "_buffer" are listed and expired by
/// supervisors (zorvgst-shm, the inventory) and served by zorvgst-serve (is_listed_buffer_name()).
class ZORVGST_EXPORT frame_writer {
public:
    /// Creates or takes over `name` for `width` x `height` frames. Throws zorvgst::error when the
    /// buffer cannot be made usable.
    frame_writer(const std::string& name, unsigned width, unsigned height,
                 backend kind = backend::posix);
    /// Creates or takes over `name` as a frame ring of `format` frames (POSIX shared memory),
    /// sized by `options`. Throws zorvgst::error when the format is inconsistent or the ring
    /// cannot be made.
    frame_writer(const std::string& name, const frame_format& format,
                 const ring_options& options = {});
    ~frame_writer();
    frame_writer(frame_writer&&) noexcept;
    frame_writer& operator=(frame_writer&&) noexcept;
    frame_writer(const frame_writer&) = delete;
    frame_writer& operator=(const frame_writer&) = delete;

    /// Copies one frame whose rows are `stride` bytes apart (at least a row of pixels) and
    /// publishes it. On a ring of several planes, throws zorvgst::error: use write_planes().
    frame_info write(const void* pixels, std::size_t stride);
    /// Copies plane i from `planes[i]`, rows `strides[i]` bytes apart, for every plane of the
    /// format, and publishes the frame with `timing`.
    frame_info write_planes(const void* const* planes, const std::size_t* strides,
                            const frame_timing& timing = {});
    /// The slot the next publish() makes current, laid out as format() says: draw in place.
    std::uint8_t* frame();
    /// Makes the slot returned by frame() the newest frame, and wakes every reader.
    frame_info publish();
    /// The same, with the frame's timestamps, and the first `metadata_size` bytes of metadata()
    /// published with it (frame rings only; double buffers carry neither).
    frame_info publish(const frame_timing& timing, std::size_t metadata_size = 0);
    /// The user metadata area of the frame the next publish() makes current, metadata_capacity()
    /// bytes; null on a double buffer.
    std::uint8_t* metadata();
    std::size_t metadata_capacity() const;
    /// Makes the buffer anew for frames of another size; readers follow.
    void resize(unsigned width, unsigned height);
    /// Makes the ring anew for frames of another format or layout; readers follow. Throws
    /// zorvgst::error on a double buffer for anything but BGRA.
    void reformat(const frame_format& format);

    unsigned width() const;
    unsigned height() const;
    const std::string& name() const;
    backend kind() const;
    buffer_layout layout() const;
    const frame_format& format() const;

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
    /// there is no frame yet or every attempt was overtaken. Throws zorvgst::error
    /// (destination_too_small) when the frame does not fit the destination, and (invalid_format)
    /// for a frame in several planes; try_read() answers both without an exception.
    std::optional<frame_info> read(void* dst, std::size_t stride, std::size_t capacity);
    /// Copies the newest frame, in the layout format() gives, into `dst` (`capacity` bytes),
    /// with its timing and metadata where asked for, and returns it if it is intact. Any format,
    /// either layout. Throws zorvgst::error (destination_too_small) when the frame does not fit;
    /// try_copy() and the std::vector overload answer it without an exception.
    std::optional<frame_info> copy(void* dst, std::size_t capacity, frame_timing* timing = nullptr,
                                   std::vector<std::uint8_t>* metadata = nullptr);
    /// read() without the exception: a frame that does not fit the destination, or that is in
    /// several planes, is a status of the result. Nothing else differs.
    read_result try_read(void* dst, std::size_t stride, std::size_t capacity);
    /// copy() without the exception: a frame that does not fit is a status of the result.
    read_result try_copy(void* dst, std::size_t capacity, frame_timing* timing = nullptr,
                         std::vector<std::uint8_t>* metadata = nullptr);
    /// Copies the newest frame, in the layout format() gives, into `frame`, sized to the frame
    /// (a writer that changed its frames meanwhile is followed), and returns it if it is intact.
    /// Never throws for the frame's size.
    std::optional<frame_info> copy(std::vector<std::uint8_t>& frame, frame_timing* timing = nullptr,
                                   std::vector<std::uint8_t>* metadata = nullptr);
    /// The newest frame of a frame ring, held in shared memory without a copy. Nothing when there
    /// is no frame, the buffer is a double buffer, or this reader holds as many frames as it may
    /// (the ring's leases per reader, or fewer by limit_leases()): the caller then copies.
    std::optional<frame_lease> hold();
    /// Holds at most `count` frames at once (never more than the ring allows).
    void limit_leases(unsigned count);
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
    /// What the attached buffer is made of, or nothing while detached.
    std::optional<buffer_layout> layout() const;
    /// The format of the attached buffer's frames (BGRA for a double buffer), or nothing while
    /// detached.
    std::optional<frame_format> format() const;
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
