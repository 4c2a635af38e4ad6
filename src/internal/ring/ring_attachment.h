// SPDX-License-Identifier: LGPL-2.1-or-later
// One process's attachment to a frame ring: the writer's slots and publication, a reader's
// entry, leases and checked copies.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

#include <zorvgst/frame_format.h>

#include "internal/frames/attached_buffer.h"
#include "internal/ring/layout.h"

namespace zorvgst::detail {

/// The newest frame as its slot record described it at one instant.
struct ring_frame {
    std::uint32_t slot = ring::no_slot;
    std::uint64_t sequence = 0; ///< the slot's sequence the description belongs to
    std::uint64_t number = 0;
    boost::posix_time::ptime written;
    frame_timing timing;
    std::uint64_t metadata_size = 0;
};

class ring_attachment final : public attached_buffer {
public:
    /// A reader's attachment, or null while `name` holds no usable ring. Maps the header
    /// writable when the object may be written (to take leases), the slots read-only.
    static std::shared_ptr<ring_attachment> open_reader(const std::string& name);
    /// A new ring under `name`, replacing whatever is there (its readers follow). Null, with
    /// `failure` saying why, when it cannot be made.
    static std::unique_ptr<ring_attachment> create(const std::string& name,
                                                   const frame_format& format,
                                                   const ring_options& options,
                                                   write_failure& failure);
    /// Whether the first bytes of `name` say it is a frame ring.
    static bool is_ring(const std::string& name);
    /// The slot count a writer makes for `options` (one slot more than the readers can hold,
    /// plus the one it writes).
    static std::uint32_t slots_for(const ring_options& options);

    ~ring_attachment() override;
    ring_attachment(const ring_attachment&) = delete;
    ring_attachment& operator=(const ring_attachment&) = delete;

    // The frame layer's view of any buffer.
    backend kind() const override { return backend::posix; }
    bool usable() override;
    bool replaced() const override;
    unsigned width() const override { return format_.width; }
    unsigned height() const override { return format_.height; }
    std::uint64_t frame_count() const override;
    std::uint32_t indicator() const override { return 0; }
    boost::posix_time::ptime last_write_time() const override;
    const std::uint32_t* wake_word() const override;
    const std::uint8_t* newest_slot() override;
    std::uint8_t* write_slot() override { return acquire(); }
    void publish() override { publish(frame_timing{}, 0); }

    const frame_format& format() const { return format_; }
    std::uint32_t leases_per_reader() const { return layout_.leases_per_reader; }
    std::uint32_t slot_count() const { return layout_.slot_count; }
    std::uint64_t metadata_capacity() const { return layout_.metadata_capacity; }
    const std::string& caps() const { return caps_; }

    // Readers.
    /// The newest frame's record; false before the first frame or while its slot is rewritten.
    bool newest(ring_frame& frame) const;
    /// Whether the slot of `frame` still holds that frame.
    bool unchanged(const ring_frame& frame) const;
    const std::uint8_t* slot_data(std::uint32_t slot) const;
    const std::uint8_t* slot_metadata(std::uint32_t slot) const;
    /// Leases the newest frame for this reader, at most `limit` at once; the lease word to clear
    /// when it ends, or null (no frame, at the limit, no reader entry, a read-only mapping).
    std::uint64_t* take_lease(ring_frame& frame, unsigned limit);
    /// Ends a lease taken by take_lease; any thread.
    static void end_lease(std::uint64_t* word);
    /// Leases held by this attachment's reader entry now.
    unsigned leases_held() const;
    /// Clears the entries of readers that have died, at most once a second unless `now_anyway`.
    void reclaim_dead_readers(bool now_anyway = false);

    // The writer.
    /// The slot the next publication makes newest: the lowest one nobody holds, which always
    /// exists (the ring has two slots more than its table has leases). The same until published.
    std::uint8_t* acquire();
    /// The user metadata area of the acquired slot.
    std::uint8_t* metadata_area();
    /// Publishes the acquired slot; the frame's number.
    std::uint64_t publish(const frame_timing& timing, std::uint64_t metadata_size);

private:
    ring_attachment() = default;
    bool map(int fd, bool writer, bool header_writable);
    /// Which object this is (to tell when the name leads elsewhere) and what it carries.
    void identify(const std::string& name, const struct stat& object, const frame_format& format,
                  const std::string& caps);
    ring::slot_record& record(std::uint32_t slot) const;
    std::uint64_t* reader_entry(std::uint32_t index) const;
    bool slot_leased(std::uint32_t slot) const;
    bool claim_reader_entry();
    void release_reader_entry();
    void clear_entry(std::uint64_t* entry);

    std::string name_;
    bool writer_ = false;
    bool header_writable_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    ring::ring_header layout_{}; ///< the header as validated at attachment: trusted geometry
    ring::ring_geometry geometry_{};
    frame_format format_;
    std::string caps_;
    std::uint8_t* header_map_ = nullptr; ///< header, slot records, reader table
    std::size_t header_map_bytes_ = 0;
    std::uint8_t* slot_map_ = nullptr; ///< the slots (read-only for readers)
    std::size_t slot_map_bytes_ = 0;

    // Reader side.
    std::int32_t entry_ = -1;
    bool entry_unavailable_ = false;
    std::chrono::steady_clock::time_point next_reclaim_{};

    // Writer side.
    std::uint32_t acquired_ = ring::no_slot;
};

} // namespace zorvgst::detail
