// POSIX double buffer: the shared-memory layout every process agrees on, and the handle on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <sys/types.h>

#include <zorvgst/export.h>

/// Size in bytes of a double buffer's shared region: a 40-byte header and two BGRA slots of
/// width x height pixels each. Wraps on overflow; callers that take dimensions from untrusted
/// sources check them first.
ZORVGST_EXPORT std::uint64_t compute_size(std::uint64_t width, std::uint64_t height);

/// The 40-byte header at offset 0 of every double buffer, read and written in place by
/// unrelated processes: its byte layout must never change.
struct double_buffer_header_t {
    std::uint32_t buffer_type;                ///< 0 for every POSIX double buffer
    std::uint32_t buffer_indicator;           ///< slot holding the newest complete frame: 0 or 1
    boost::posix_time::ptime last_write_time; ///< local time of the last publication
    std::uint32_t width;                      ///< frame width in pixels
    std::uint32_t height;                     ///< frame height in pixels
    pid_t owner_pid;                          ///< writer owning the buffer; 0 for none
    std::uint32_t padding;                    ///< never written or read
    std::uint64_t frame_count;                ///< frames published since the last header reset
};

static_assert(std::is_standard_layout_v<double_buffer_header_t>);
static_assert(std::is_trivially_copyable_v<double_buffer_header_t>);
static_assert(sizeof(boost::posix_time::ptime) == 8,
              "last_write_time must be Boost's 64-bit microsecond ptime");
static_assert(offsetof(double_buffer_header_t, buffer_type) == 0);
static_assert(offsetof(double_buffer_header_t, buffer_indicator) == 4);
static_assert(offsetof(double_buffer_header_t, last_write_time) == 8);
static_assert(offsetof(double_buffer_header_t, width) == 16);
static_assert(offsetof(double_buffer_header_t, height) == 20);
static_assert(offsetof(double_buffer_header_t, owner_pid) == 24);
static_assert(offsetof(double_buffer_header_t, padding) == 28);
static_assert(offsetof(double_buffer_header_t, frame_count) == 32);
static_assert(sizeof(double_buffer_header_t) == 40);
