// SPDX-License-Identifier: LGPL-2.1-or-later
// Raw access to shared-memory objects the way an unrelated process sees them: bytes, not handles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <zorvgst/backend.h>

namespace zorvtest {

/// The whole content of a file (for example /dev/shm/<name>); empty when it cannot be read.
std::vector<unsigned char> read_file_bytes(const std::string& path);

/// Creates or replaces the POSIX shared-memory object of `name` (no leading slash) holding
/// exactly `bytes`. Returns false when it could not.
bool create_raw_object(const std::string& name, const std::vector<unsigned char>& bytes);

/// Writes `size` bytes at `offset` into an existing object; returns false on failure.
bool write_raw_bytes(const std::string& name, std::size_t offset, const void* data,
                     std::size_t size);

template <typename T> bool poke(const std::string& name, std::size_t offset, T value) {
    return write_raw_bytes(name, offset, &value, sizeof(value));
}

template <typename T> T field_at(const std::vector<unsigned char>& bytes, std::size_t offset) {
    T value{};
    if (offset + sizeof(T) <= bytes.size()) {
        std::memcpy(&value, bytes.data() + offset, sizeof(T));
    }
    return value;
}

/// Whether /dev/shm/<name> exists.
bool object_exists(const std::string& name);

/// The System V segment the key file /dev/shm/<name> leads to, found as every process finds it
/// (its key from ftok); -1 when there is none.
int segment_id(const std::string& name);

/// Writes `size` bytes at `offset` into the System V segment of `name`; false when there is no
/// segment or it is too short.
bool write_raw_segment_bytes(const std::string& name, std::size_t offset, const void* data,
                             std::size_t size);

/// The 32-bit header fields a hostile peer rewrites in the tests.
enum class header_field { indicator, width, height };

/// Where `field` lies in a header of `kind`: the System V header has no type word, and its
/// indicator takes that place.
std::size_t header_offset(zorvgst::backend kind, header_field field);

/// Writes a header field of buffer `name`, bypassing the library, as a broken peer would.
bool poke_header(zorvgst::backend kind, const std::string& name, header_field field,
                 std::uint32_t value);

} // namespace zorvtest
