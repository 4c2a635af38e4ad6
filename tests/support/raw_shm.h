// Raw access to shared-memory objects the way an unrelated process sees them: bytes, not handles.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

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

} // namespace zorvtest
