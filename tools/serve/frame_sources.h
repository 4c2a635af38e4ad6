// SPDX-License-Identifier: LGPL-2.1-or-later
// The newest frame of each buffer, double buffer or frame ring of any format, as JPEG, read and
// encoded on worker threads once however many clients ask.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gst/gst.h>

#include <zorvgst/frames.h>

#include "jpeg_encoder.h"

namespace zorvgst_serve {

/// The boundary between the parts of an MJPEG stream, as its Content-Type names it.
constexpr const char* mjpeg_boundary = "zorvgstframe";

/// One encoded frame, made on a worker and never changed after: every response that sends it
/// shares its bytes. A new object for each new frame, so that the pointer tells frames apart.
struct encoded_frame {
    encoded_frame(const zorvgst::frame_info& frame, const std::string& jpeg_data);
    ~encoded_frame();
    encoded_frame(const encoded_frame&) = delete;
    encoded_frame& operator=(const encoded_frame&) = delete;

    zorvgst::frame_info info;
    /// The whole MJPEG part: boundary, headers, the JPEG and the line end after it.
    GBytes* part;
    /// The JPEG alone, within `part`.
    GBytes* jpeg;
};

using shared_frame = std::shared_ptr<const encoded_frame>;

/// A reader of one buffer, its encoder, and the last frame encoded at each width asked for.
/// Never waits for the writer. Any thread; callers take turns.
class frame_source {
public:
    explicit frame_source(const std::string& name);

    /// The newest frame at `out_width` (0: as it is), encoded now only when it is newer than
    /// the one encoded last for that width. Null when there is no frame yet or encoding failed.
    shared_frame newest(unsigned out_width);

private:
    /// The newest frame copied into a new buffer laid out as `format` says, with `info` set when
    /// the copy is whole; null when no buffer could be made.
    GstBuffer* copy_frame(const zorvgst::frame_format& format,
                          std::optional<zorvgst::frame_info>& info);

    std::mutex lock_;
    zorvgst::frame_reader reader_;
    jpeg_encoder encoder_;
    std::map<unsigned, shared_frame> by_width_;
};

/// The frame sources of the buffers clients asked for, made on first use and dropped once
/// unused for a while, so that a buffer's mapping is not held long after its last viewer.
/// Frames are read and encoded on worker threads; results come back on the main context of the
/// thread that made this object. Everything here is called on that context.
class frame_sources {
public:
    /// Called with a frame (null when there is none) once it is ready.
    using delivery = std::function<void(shared_frame)>;

    frame_sources();
    /// Waits for the frames being encoded; deliveries still due are dropped.
    ~frame_sources();
    frame_sources(const frame_sources&) = delete;
    frame_sources& operator=(const frame_sources&) = delete;

    /// Delivers the newest frame of `name` (checked against the catalog by the caller) at
    /// `out_width`, read after this call.
    void request(const std::string& name, unsigned out_width, delivery deliver);
    /// The newest frame of `name` encoded at `out_width` so far (null when none yet); asks for a
    /// newer one unless one is being encoded already, so that a viewer gets the newest frame
    /// rather than a queue of them.
    shared_frame follow(const std::string& name, unsigned out_width);
    /// Called with the name of a buffer whenever one of its frames has been encoded.
    void on_encoded(std::function<void(const std::string&)> notify);

    /// Drops the sources nobody asked for in `idle`, except those in `keep` says to keep.
    template <class Keep> void sweep(std::chrono::steady_clock::duration idle, Keep&& keep) {
        const auto now = std::chrono::steady_clock::now();
        for (auto it = sources_.begin(); it != sources_.end();) {
            if (now - it->second.used > idle && !it->second.busy() && !keep(it->first)) {
                it = sources_.erase(it);
            } else {
                ++it;
            }
        }
    }

private:
    struct job;
    /// What the main context knows of one width of one source.
    struct encoding {
        bool running = false;
        std::vector<delivery> waiting; // for the next run: they asked after the running one began
        shared_frame latest;
    };
    struct entry {
        std::shared_ptr<frame_source> source;
        std::chrono::steady_clock::time_point used;
        std::map<unsigned, encoding> by_width;
        bool busy() const;
    };

    entry& get(const std::string& name);
    void start(const std::string& name, entry& found, unsigned out_width,
               std::vector<delivery> riding);
    void finished(job& done);

    std::map<std::string, entry> sources_;
    std::function<void(const std::string&)> notify_;
    GMainContext* context_;
    GThreadPool* pool_;
    // False once this object is going: results still on their way back are dropped.
    std::shared_ptr<bool> alive_;
};

} // namespace zorvgst_serve
