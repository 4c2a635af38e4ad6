// SPDX-License-Identifier: LGPL-2.1-or-later
// Pieces the System V backend's files share: permissions, key formatting, header size.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/xsi_key.hpp>

#include <zorvgst/sysv_double_buffer.h>

#include "internal/buffer_geometry.h"

namespace sysv_double_buffer {

/// Segment, condition and mutex are created group-writable; the library sets no group.
inline const boost::interprocess::permissions default_perms(0660);

namespace detail {

/// Project id that turns a key file into a System V key (the character ';').
constexpr int key_project_id = 59;

constexpr std::uint64_t header_size = sizeof(sysv_double_buffer_header_t);
static_assert(header_size == zorvgst::detail::double_buffer_header_bytes);

/// The key as log lines print it: lower-case hexadecimal without prefix.
inline std::string hex_key(const boost::interprocess::xsi_key& key) {
    std::ostringstream text;
    text << std::hex << static_cast<std::uint32_t>(key.get_key());
    return text.str();
}

} // namespace detail
} // namespace sysv_double_buffer
