// SPDX-License-Identifier: LGPL-2.1-or-later
// Shared pieces of the fuzz targets: their clean-up, a byte reader, and unique object names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <unistd.h>

namespace zorvfuzz {

/// Removes whatever the target made that could outlive it; each target defines it, and the host
/// start-up (fuzz_host.cpp) has it run at exit.
void clean_up();

/// Reads fixed-size values from the front of the fuzzer's input; zeros once it is used up.
class input {
public:
    input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    template <typename T> T take() {
        T value{};
        const std::size_t n = size_ < sizeof(T) ? size_ : sizeof(T);
        std::memcpy(&value, data_, n);
        data_ += n;
        size_ -= n;
        return value;
    }
    /// A value in [0, limit].
    std::uint32_t take_upto(std::uint32_t limit) {
        return limit == 0 ? 0 : take<std::uint32_t>() % (limit + 1);
    }
    const std::uint8_t* rest() const { return data_; }
    std::size_t rest_size() const { return size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

/// "zorvfuzz_<pid>_<what>_buffer": objects of this process only, removed by the targets.
inline std::string object_name(const char* what) {
    return "zorvfuzz_" + std::to_string(::getpid()) + "_" + what + "_buffer";
}

} // namespace zorvfuzz
