// SPDX-License-Identifier: LGPL-2.1-or-later
// The MJPEG streams of /stream/NAME.mjpeg: multipart parts fed from the buffers' frame sources.
#pragma once

#include <chrono>
#include <list>
#include <memory>
#include <string>

#include <libsoup/soup.h>

#include "buffer_catalog.h"
#include "frame_sources.h"
#include "server_stats.h"

namespace zorvgst_serve {

/// Every open stream. A frame is encoded once per buffer and width for all its viewers, off the
/// main loop, and its part is written to every viewer's response as the same bytes; a viewer
/// that has not taken its last two parts yet skips frames, so that a slow reader holds at most
/// two parts and never slows anyone else. Main loop only.
class mjpeg_streams {
public:
    /// The most parts a second a stream sends.
    static constexpr unsigned max_fps = 10;
    /// The boundary between parts, as the Content-Type names it.
    static constexpr const char* boundary = mjpeg_boundary;
    /// multipart/x-mixed-replace with the boundary.
    static std::string content_type();

    mjpeg_streams(const buffer_catalog& catalog, frame_sources& sources, server_stats& stats);
    /// Ends every stream.
    ~mjpeg_streams();
    mjpeg_streams(const mjpeg_streams&) = delete;
    mjpeg_streams& operator=(const mjpeg_streams&) = delete;

    /// Answers `message` with a stream of `name` at `out_width` (0: as it is), `fps` parts a
    /// second at most. The caller has checked the name and the client limit.
    void open(SoupServerMessage* message, const std::string& name, unsigned out_width,
              unsigned fps);
    /// Sends the parts that are due; ends the streams of buffers the catalog no longer lists.
    /// Also called whenever a frame has been encoded.
    void tick();
    /// Whether a stream of `name` is open: its source stays.
    bool watching(const std::string& name) const;

private:
    struct viewer;
    void close(viewer& gone);
    static void on_wrote_chunk(SoupServerMessage* message, gpointer data);
    static void on_finished(SoupServerMessage* message, gpointer data);

    const buffer_catalog& catalog_;
    frame_sources& sources_;
    server_stats& stats_;
    std::list<std::unique_ptr<viewer>> viewers_;
};

} // namespace zorvgst_serve
