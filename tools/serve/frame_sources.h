// SPDX-License-Identifier: LGPL-2.1-or-later
// The newest frame of each buffer, double buffer or frame ring of any format, as JPEG, read and
// encoded once however many clients ask.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <gst/gst.h>

#include <zorvgst/frames.h>

#include "jpeg_encoder.h"

namespace zorvgst_serve {

/// One encoded frame. Shared by every response that sends it; a new object for each new frame,
/// so that the pointer tells frames apart.
struct encoded_frame {
    zorvgst::frame_info info;
    std::string jpeg;
};

/// A reader of one buffer, its encoder, and the last frame encoded at each width asked for.
/// Never waits for the writer. Main loop only.
class frame_source {
public:
    explicit frame_source(const std::string& name);

    /// The newest frame at `out_width` (0: as it is), encoded now only when it is newer than
    /// the one encoded last for that width. Null when there is no frame yet or encoding failed.
    std::shared_ptr<const encoded_frame> newest(unsigned out_width);

private:
    /// The newest frame copied into a new buffer laid out as `format` says, with `info` set when
    /// the copy is whole; null when no buffer could be made.
    GstBuffer* copy_frame(const zorvgst::frame_format& format,
                          std::optional<zorvgst::frame_info>& info);

    zorvgst::frame_reader reader_;
    jpeg_encoder encoder_;
    std::map<unsigned, std::shared_ptr<const encoded_frame>> by_width_;
};

/// The frame sources of the buffers clients asked for, made on first use and dropped once
/// unused for a while, so that a buffer's mapping is not held long after its last viewer.
class frame_sources {
public:
    /// The source of `name`, which the caller has checked against the catalog.
    frame_source& get(const std::string& name);
    /// Drops the sources nobody asked for in `idle`, except those in `keep` says to keep.
    template <class Keep> void sweep(std::chrono::steady_clock::duration idle, Keep&& keep) {
        const auto now = std::chrono::steady_clock::now();
        for (auto it = sources_.begin(); it != sources_.end();) {
            if (now - it->second.used > idle && !keep(it->first)) {
                it = sources_.erase(it);
            } else {
                ++it;
            }
        }
    }

private:
    struct entry {
        std::unique_ptr<frame_source> source;
        std::chrono::steady_clock::time_point used;
    };
    std::map<std::string, entry> sources_;
};

} // namespace zorvgst_serve
