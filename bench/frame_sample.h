// SPDX-License-Identifier: LGPL-2.1-or-later
// The frames the benchmark programs copy: random bytes, and a frame as GStreamer hands it over.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include <gst/gst.h>

#include <zorvgst/library.h>

namespace zorvbench {

/// `bytes` pseudo-random bytes, the same for the same `seed`: nothing compresses or repeats.
inline std::vector<std::uint8_t> random_frame(std::size_t bytes, unsigned seed) {
    std::vector<std::uint8_t> out(bytes);
    std::mt19937 random(seed);
    for (auto& byte : out) {
        byte = static_cast<std::uint8_t>(random());
    }
    return out;
}

/// A `width` x `height` BGRA frame copied into a GstBuffer, and a sample of it with 30 fps caps;
/// all of it is released with this object.
class frame_sample {
public:
    frame_sample(const std::vector<std::uint8_t>& pixels, unsigned width, unsigned height)
        : buffer_(gst_buffer_new_allocate(nullptr, pixels.size(), nullptr)) {
        gst_buffer_fill(buffer_, 0, pixels.data(), pixels.size());
        caps_ = gst_caps_from_string(build_caps_string(width, height, 30).c_str());
        sample_ = gst_sample_new(buffer_, caps_, nullptr, nullptr);
    }
    ~frame_sample() {
        gst_sample_unref(sample_);
        gst_caps_unref(caps_);
        gst_buffer_unref(buffer_);
    }
    frame_sample(const frame_sample&) = delete;
    frame_sample& operator=(const frame_sample&) = delete;

    GstBuffer* buffer() const { return buffer_; }
    GstSample* sample() const { return sample_; }

private:
    GstBuffer* buffer_;
    GstCaps* caps_ = nullptr;
    GstSample* sample_ = nullptr;
};

} // namespace zorvbench
