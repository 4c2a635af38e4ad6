// SPDX-License-Identifier: LGPL-2.1-or-later
// Keeps each RTSP media running a few seconds after its last client, and bounds its start.
#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include <gst/rtsp-server/rtsp-server.h>

namespace zorvgst_serve {

/// The shared media of the RTSP streams, seen through their life:
/// - left to itself, the server stops a shared media the moment its last client leaves; the
///   keeper counts as one more user of each media a client plays, and lets go once the media
///   has had no client for `linger`, so that a viewer who comes back soon finds it running;
/// - the server prepares a media on a client's thread and waits there until frames come out; a
///   media that shows none within `start_limit` is failed, so that client never waits longer;
/// - a client that starts playing gets a key frame at once rather than at the next interval.
/// Callers take turns (the service's lock); the start limit is enforced by a clock thread.
class rtsp_media_keeper {
public:
    rtsp_media_keeper(std::chrono::milliseconds linger, std::chrono::milliseconds start_limit);
    ~rtsp_media_keeper();
    rtsp_media_keeper(const rtsp_media_keeper&) = delete;
    rtsp_media_keeper& operator=(const rtsp_media_keeper&) = delete;

    /// `factory` made `media`, which is about to be prepared.
    void configured(GstRTSPMediaFactory* factory, GstRTSPMedia* media);
    /// A client has started playing `media`; `context` is its request's.
    void playing(GstRTSPMedia* media, GstRTSPContext* context);
    /// Lets go of media that have been without clients for the linger time, and forgets media
    /// that are over. Call about once a second.
    void tick();
    /// Whether the newest media of `factory` failed: new clients would be turned away from it.
    bool failed(GstRTSPMediaFactory* factory) const;

private:
    struct kept_media {
        GstRTSPMedia* media;          // a reference
        GstRTSPMediaFactory* factory; // a reference
        bool held = false;
        std::optional<std::chrono::steady_clock::time_point> idle_since;
    };

    kept_media* find(GstRTSPMedia* media);
    void release(kept_media& kept);

    std::chrono::milliseconds linger_;
    std::chrono::milliseconds start_limit_;
    std::vector<kept_media> kept_;
};

} // namespace zorvgst_serve
