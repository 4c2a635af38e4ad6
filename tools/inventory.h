// What the supervisor CLI knows about one double buffer, and how it finds, removes and expires
// them.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <sys/types.h>

namespace zorvgst_shm {

enum class backend_t { posix, sysv };

const char* backend_name(backend_t backend);

/// A snapshot of one buffer's header, taken through the library's handle (POSIX) or a read-only
/// attachment of an existing segment (System V). Every field comes from shared memory another
/// process may have scribbled over: nothing here is trusted further than printing it.
struct buffer_info_t {
    std::string name;
    backend_t backend = backend_t::posix;
    /// Whether a reader could use the buffer now: false while the writer has not sized it, and
    /// for a header naming a frame the object cannot hold.
    bool ready = false;
    /// The object does not start like a double buffer; none of the fields below were read.
    bool foreign = false;
    /// A System V key file whose segment is gone: nothing has an owner or a size.
    bool orphan = false;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    pid_t owner_pid = 0;
    bool owner_alive = false;
    std::uint64_t frame_count = 0;
    boost::posix_time::ptime last_write_time; ///< local time; not-a-date-time before any frame
    std::uint64_t size = 0;                   ///< bytes of the shared object or segment
};

/// The default place where buffers (POSIX objects and SysV key files) live.
const std::string& default_directory();

/// Names ending in "_buffer" in `directory`, sorted. Empty when the directory cannot be read.
std::vector<std::string> list_names(const std::string& directory);

/// Which backend holds `name` (in the default directory), or nothing when no such buffer exists.
std::optional<backend_t> detect_backend(const std::string& name);

/// Reads the header of `name`; nothing when no such buffer exists. Opens only what exists and
/// creates nothing, so that inspecting never leaves pieces of a buffer behind.
std::optional<buffer_info_t> probe(const std::string& name);

/// Whether a process with this id exists (a process of another user counts as alive).
bool process_alive(pid_t pid);

/// Removes every piece of the buffer; true when nothing of it is left afterwards.
bool remove_buffer(const std::string& name, backend_t backend);

/// Removes the buffer if its owner has died; true when it was removed.
bool expire_buffer(const std::string& name, backend_t backend);

/// How long a System V key file may go without its segment before it counts as an orphan: a
/// writer creates the key file just before the segment.
constexpr std::chrono::seconds orphan_grace_period{5};

/// Whether `name` is a System V key file without a segment, last modified at least
/// `orphan_grace_period` ago.
bool orphan_expired(const std::string& name);

/// Removes the key file, write-wait condition and mutex of `name` when `orphan_expired` still
/// holds; true when it did.
bool expire_orphan(const std::string& name);

/// Whether any piece of the buffer is still present.
bool buffer_exists(const std::string& name);

} // namespace zorvgst_shm
