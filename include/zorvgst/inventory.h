// SPDX-License-Identifier: LGPL-2.1-or-later
// Finding, inspecting, removing and expiring the double buffers of both backends and the frame
// rings on this machine. Standard library only, so that a supervisor needs neither Boost nor
// GStreamer to use it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include <zorvgst/backend.h>
#include <zorvgst/buffer_name.h>
#include <zorvgst/export.h>

namespace zorvgst {

/// Whether a reader could use a buffer, or why not.
enum class buffer_state {
    /// Sized by its writer, and the header's frame fits the memory.
    ready,
    /// Not sized by its writer yet (width or height 0), a header naming a frame the memory
    /// cannot hold (or, for a frame ring, counts that do not describe the object), or a System V
    /// segment this user may not read.
    not_ready,
    /// A System V key file whose segment is gone: no owner, no size.
    orphan,
    /// The memory holds neither a double buffer nor a frame ring; only name, backend and bytes
    /// were read.
    foreign,
};

/// A snapshot of one buffer's header, all fields read at one instant. Every field comes from
/// shared memory that any process may have scribbled over: trust it no further than a report.
struct buffer_status {
    std::string name;
    zorvgst::backend backend = zorvgst::backend::posix;
    buffer_state state = buffer_state::not_ready;
    /// Frame size as the header stores it, also when it does not fit the memory.
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    /// The writer that owns the buffer; 0 for none.
    pid_t owner_pid = 0;
    /// Whether the owner exists; a process of another user counts as alive.
    bool owner_alive = false;
    /// Frames published since the writer last reset the header.
    std::uint64_t frame_count = 0;
    /// When the newest frame was published. Writers stamp their local time, converted here with
    /// the current offset from UTC. Empty before the first frame, and when the header holds a
    /// value that is no time.
    std::optional<std::chrono::system_clock::time_point> last_write_time;
    /// The header holds a value that is no time (or none a time point can hold).
    bool last_write_time_invalid = false;
    /// Size of the POSIX object or System V segment; 0 when unknown.
    std::uint64_t bytes = 0;
};

/// A process holding frames of a frame ring.
struct lease_holder {
    pid_t pid = 0;
    /// Whether that very process (pid and start time) still runs; a dead holder's leases are
    /// cleared by the next reader or writer of the ring that looks.
    bool alive = false;
    /// Frames it holds.
    unsigned leases = 0;
};

/// What a frame ring is made of and who holds its frames. Read at one instant from memory any
/// process may have scribbled over: a report, no more.
struct ring_report {
    std::string name;
    /// The raw video format's name as the header stores it; empty when it holds no name.
    std::string format;
    /// Whether the header describes exactly the object it is in. Only then are the counts below
    /// and the leases read; otherwise they stay 0 and empty.
    bool consistent = false;
    unsigned slots = 0;
    unsigned readers = 0;
    unsigned leases_per_reader = 0;
    /// Bytes of user metadata each frame may carry.
    std::uint64_t metadata_capacity = 0;
    /// Bytes of one frame.
    std::uint64_t frame_bytes = 0;
    /// Leases of existing slots in the reader table, held by live and dead readers alike.
    unsigned leases_held = 0;
    /// Each process that holds at least one of them, in the order of the reader table.
    std::vector<lease_holder> holders;
};

/// Every buffer of both backends in /dev/shm (names ending in "_buffer"), sorted by name.
/// Creates nothing: no key file, write-wait object or shared memory.
ZORVGST_EXPORT std::vector<buffer_status> list_buffers();

/// The same with the names taken from `directory`; the buffers are still opened by name, as
/// every process opens them. Empty when the directory cannot be read.
ZORVGST_EXPORT std::vector<buffer_status> list_buffers(const std::string& directory);

/// Which backend holds `name`, from its entry in /dev/shm alone (nothing is opened); nothing
/// when there is no such buffer.
ZORVGST_EXPORT std::optional<backend> find_backend(const std::string& name);

/// The status of `name`; nothing when there is no such buffer. Creates nothing.
ZORVGST_EXPORT std::optional<buffer_status> find_buffer(const std::string& name);

/// The report of the frame ring `name`; nothing when `name` is no frame ring (a double buffer,
/// another program's object, nothing at all). Reads the object without mapping or changing it.
ZORVGST_EXPORT std::optional<ring_report> describe_ring(const std::string& name);

/// Removes every piece of the buffer: the POSIX object, or the System V segment, key file and
/// write-wait condition and mutex. Processes that have it open keep their mapping. True when
/// nothing of that name is left, also when there was nothing to remove; false when something
/// remains, and for a name that cannot name a buffer or an entry that is none (a link, say),
/// which are left alone.
ZORVGST_EXPORT bool remove_buffer(const std::string& name);

/// Why an expiry sweep could not deal with a name.
enum class expiry_failure_reason {
    not_found,   ///< a name given names no buffer
    left_behind, ///< the buffer had expired, but something of it is still there
};

struct expiry_failure {
    std::string name;
    expiry_failure_reason reason = expiry_failure_reason::not_found;
};

/// Removes the expired buffers among `names` (every buffer in /dev/shm when empty): those whose
/// owner process has exited (for a frame ring, also one whose pid now names a later process), and
/// System V key files without a segment left unchanged for 5 seconds (a writer creates its key file
/// just before its segment), with their write-wait condition and mutex. Buffers without an owner,
/// or with a live one, stay. Returns the status, taken before the removal, of each buffer removed,
/// or with `dry_run` of each that would be, in the order of `names`: state `orphan` for a key file,
/// otherwise expired for its dead owner.
ZORVGST_EXPORT std::vector<buffer_status> expire_buffers(const std::vector<std::string>& names = {},
                                                         bool dry_run = false);

/// The same, also adding to `failures`, in the order met, the names given that name no buffer
/// and the expired buffers that could not be removed entirely.
ZORVGST_EXPORT std::vector<buffer_status> expire_buffers(const std::vector<std::string>& names,
                                                         bool dry_run,
                                                         std::vector<expiry_failure>& failures);

} // namespace zorvgst
