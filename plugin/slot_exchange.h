// SPDX-License-Identifier: LGPL-2.1-or-later
// The sink's writer as the slot pool and the slot buffers it lends share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include <gst/gst.h>

#include <zorvgst/frames.h>

namespace zorvplugin {

/// What a slot buffer tells the sink when it comes back to be rendered.
enum class slot_check_t {
    foreign,   // not a slot buffer of this exchange: copy it as any other frame
    current,   // still names the write slot: publishing it is enough
    published, // a publication happened since it was handed out: it names the read slot now
    stale,     // made for a writer that has been replaced since
};

/// What a frame of a ring carries beside its pixels; a double buffer ignores it.
struct frame_extras_t {
    zorvgst::frame_timing timing;
    const guint8* metadata = nullptr;
    std::size_t metadata_size = 0; // cut to the ring's capacity
};

/// The sink's writer (double buffer or frame ring), shared with the pool's streaming thread and
/// with every slot buffer still alive (each keeps the writer, and so its mapping, alive). All
/// access goes through one lock.
class slot_exchange_t : public std::enable_shared_from_this<slot_exchange_t> {
public:
    /// Takes `writer` (null closes); slot buffers made for the previous writer become stale.
    void replace_writer(std::unique_ptr<zorvgst::frame_writer> writer);
    bool has_writer() const;
    /// The layout of the open writer's frames.
    std::optional<zorvgst::frame_format> format() const;

    /// Copies a frame into the write slot, plane i from `planes[i]` with rows `strides[i]`
    /// bytes apart, and publishes it with `extras`. Throws std::runtime_error.
    void publish_copy(const guint8* const* planes, const std::size_t* strides,
                      const frame_extras_t& extras);

    /// Classifies `buffer`; when current, publishes it with `extras` and returns current.
    /// Throws std::runtime_error when the publication fails.
    slot_check_t publish_slot(GstBuffer* buffer, const frame_extras_t& extras);

    /// A buffer for the next frame of a writer of `format`. It wraps the current write slot
    /// when that slot can be lent: the writer has this format, no buffer handed out earlier is
    /// still on its way to the sink (it would be published first, over the slot), and nobody
    /// holds a buffer wrapping that slot. Otherwise ordinary memory of `size` bytes.
    GstBuffer* next_buffer(const zorvgst::frame_format& format, std::size_t size);

private:
    struct lease_t;
    static void lease_ended(gpointer data);
    lease_t* new_lease(const guint8* address);
    // Both with the lock held. Moves a memory's pixels out of its slot; returns the writer
    // reference it no longer needs.
    static std::shared_ptr<zorvgst::frame_writer> detach(lease_t& lease);
    // Detaches every memory wrapping `address`; false, touching none, if one is mapped.
    bool free_slot(const guint8* address);
    // Publishes the write slot with `extras`, with the lock held.
    void publish_locked(const frame_extras_t& extras);

    mutable std::mutex lock_;
    std::shared_ptr<zorvgst::frame_writer> writer_;
    std::uint64_t epoch_ = 0;          // bumped at each writer change
    std::uint64_t generation_ = 0;     // bumped at each publication
    const lease_t* pending_ = nullptr; // the slot buffer out and not yet published
    unsigned in_flight_ = 0;           // buffers handed out, neither rendered nor gone
    std::set<lease_t*> lent_;          // live memories still wrapping a slot of the current writer

public:
    // For the slot memory's allocator.
    static guint8* lease_data(void* lease);
    static void lease_mapped(void* lease, int change);
    static void lease_freed(void* lease) { lease_ended(lease); }
};

} // namespace zorvplugin
