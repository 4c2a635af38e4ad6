// SPDX-License-Identifier: LGPL-2.1-or-later
// Helpers of the element tests: plugin environment, frames, pipelines, bus waits, free ports.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <gst/gst.h>
#include <gst/video/video.h>

namespace plugintest {

/// Directory of the plugin built with these tests.
std::string plugin_dir();

/// A packed BGRA frame whose every byte depends on `seed` and its position.
std::vector<guint8> make_frame(unsigned width, unsigned height, unsigned seed);

/// Publishes `frame` (packed BGRA) through a library writer on `name` of the backend named
/// "posix" or "sysv"; false if the writer is not valid.
bool publish_frame(const std::string& name, unsigned width, unsigned height,
                   const std::vector<guint8>& frame, const std::string& backend = "posix");

/// The sink's full caps at `width` x `height` and 30 frames a second, for buffers pushed by hand.
std::string sink_caps(unsigned width, unsigned height);

/// The slot readers see, copied out through a library reader of the buffer's own dimensions.
struct published_frame {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint64_t frame_count = 0;
    std::vector<guint8> pixels;
};

/// What buffer `name` of the backend named "posix" or "sysv" publishes now; all zero and empty
/// when no reader can open it.
published_frame read_published(const std::string& name, const std::string& backend = "posix");

/// The first frame videotestsrc makes with `pattern` as packed BGRA, built in this process.
std::vector<guint8> reference_frame(const std::string& pattern, unsigned width, unsigned height);

/// The pixels of `buffer`, a frame `info` describes (laid out as its GstVideoMeta says, if it has
/// one): each plane's rows without their padding, plane after plane. Empty if it cannot be mapped.
std::vector<guint8> packed_planes(GstBuffer* buffer, const GstVideoInfo& info);

/// The first frame videotestsrc makes with `pattern` in `format`, as packed_planes() gives it.
/// videotestsrc leaves the last chroma byte of odd-width packed 4:2:2 rows unwritten: compare
/// those formats at even widths.
std::vector<guint8> reference_pixels(const std::string& pattern, const std::string& format,
                                     unsigned width, unsigned height);

/// Waits for a message of `types` on the pipeline's bus; null after `timeout`.
GstMessage* wait_for_message(GstElement* pipeline, GstMessageType types,
                             std::chrono::milliseconds timeout);

/// Owns a pipeline made by gst_parse_launch; sets it to NULL and releases it at the end.
class Pipeline {
public:
    explicit Pipeline(const std::string& description);
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    GstElement* get() const { return pipeline_; }
    /// A named element of the pipeline (a new reference, released by the caller).
    GstElement* element(const char* name) const;
    GstStateChangeReturn play();
    /// The error text of the last failed gst_parse_launch, if any.
    const std::string& parse_error() const { return error_; }

private:
    GstElement* pipeline_ = nullptr;
    std::string error_;
};

/// A file path unique to this test process, removed by the owner.
std::string temp_path(const std::string& suffix);

/// A UDP port on 127.0.0.1 that was free a moment ago.
int free_loopback_udp_port();

} // namespace plugintest
