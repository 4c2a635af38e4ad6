// Pieces the System V backend's files share: permissions, key formatting, size checks.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/xsi_key.hpp>

#include <zorvgst/sysv_double_buffer.h>

namespace sysv_double_buffer {

/// Segment, condition and mutex are created group-writable; the library sets no group.
inline const boost::interprocess::permissions default_perms(0660);

namespace detail {

/// Project id that turns a key file into a System V key (the character ';').
constexpr int key_project_id = 59;

constexpr std::uint64_t header_size = sizeof(sysv_double_buffer_header_t);

/// The key as log lines print it: lower-case hexadecimal without prefix.
inline std::string hex_key(const boost::interprocess::xsi_key& key) {
    std::ostringstream text;
    text << std::hex << static_cast<std::uint32_t>(key.get_key());
    return text.str();
}

/// Header plus two slots of `width` x `height` BGRA pixels, or false when that does not fit in
/// 64 bits (the plain size computation would wrap to a small segment).
inline bool checked_segment_size(std::uint64_t width, std::uint64_t height, std::uint64_t& size) {
    std::uint64_t pixels = 0;
    std::uint64_t slot_bytes = 0;
    return !__builtin_mul_overflow(width, height, &pixels) &&
           !__builtin_mul_overflow(pixels, std::uint64_t{8}, &slot_bytes) &&
           !__builtin_add_overflow(slot_bytes, header_size, &size);
}

} // namespace detail
} // namespace sysv_double_buffer
