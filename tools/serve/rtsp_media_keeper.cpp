// SPDX-License-Identifier: LGPL-2.1-or-later
// How the RTSP media are held, released, started within a limit and asked for key frames.
#include "rtsp_media_keeper.h"
#include <algorithm>
#include <atomic>
#include <memory>

#include <gst/video/video.h>

namespace zorvgst_serve {

namespace {

/// What the clock thread shares with the main loop about one media's start.
struct start_watch {
    explicit start_watch(GstRTSPMedia* watched)
        : media(static_cast<GstRTSPMedia*>(g_object_ref(watched))) {}
    ~start_watch() { g_object_unref(media); }
    start_watch(const start_watch&) = delete;
    start_watch& operator=(const start_watch&) = delete;

    GstRTSPMedia* media;
    std::atomic<bool> prepared{false};
};

using shared_watch = std::shared_ptr<start_watch>;

void delete_watch(gpointer data) {
    delete static_cast<shared_watch*>(data);
}

void on_prepared(GstRTSPMedia*, gpointer data) {
    (*static_cast<shared_watch*>(data))->prepared = true;
}

gboolean on_start_deadline(GstClock*, GstClockTime, GstClockID, gpointer data) {
    const shared_watch& watch = *static_cast<shared_watch*>(data);
    if (!watch->prepared) {
        // An error on the pipeline's bus ends the server's wait for the first frames; the
        // client is told the stream is unavailable.
        GstElement* element = gst_rtsp_media_get_element(watch->media);
        GError* error = g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ,
                                            "The double buffer shows no frame");
        gst_element_post_message(
            element, gst_message_new_error(GST_OBJECT(element), error, "no frame in time"));
        g_error_free(error);
        gst_object_unref(element);
    }
    return TRUE;
}

/// Fails `media` unless it is prepared within `limit`.
void limit_start(GstRTSPMedia* media, std::chrono::milliseconds limit) {
    auto watch = std::make_shared<start_watch>(media);
    g_signal_connect_data(
        media, "prepared", G_CALLBACK(on_prepared), new shared_watch(watch),
        [](gpointer data, GClosure*) { delete_watch(data); }, GConnectFlags{});
    GstClock* clock = gst_system_clock_obtain();
    const GstClockTime limit_ns = static_cast<GstClockTime>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(limit).count());
    GstClockID deadline = gst_clock_new_single_shot_id(clock, gst_clock_get_time(clock) + limit_ns);
    gst_clock_id_wait_async(deadline, on_start_deadline, new shared_watch(watch), delete_watch);
    gst_clock_id_unref(deadline);
    gst_object_unref(clock);
}

/// One more user of a prepared media. The RTSP server has no setting that keeps a shared media
/// after its last client (suspend modes and stop-on-disconnect only choose how it stops), but it
/// counts preparations: a media is unprepared when every gst_rtsp_media_prepare has had its
/// gst_rtsp_media_unprepare. So the keeper prepares once more, as a joining client does, with a
/// thread from the client's own pool, which prepare stops at once on a prepared media.
bool hold(GstRTSPMedia* media, GstRTSPContext* context) {
    if (gst_rtsp_media_get_status(media) != GST_RTSP_MEDIA_STATUS_PREPARED ||
        context->client == nullptr) {
        return false;
    }
    GstRTSPThreadPool* pool = gst_rtsp_client_get_thread_pool(context->client);
    GstRTSPThread* thread =
        pool != nullptr ? gst_rtsp_thread_pool_get_thread(pool, GST_RTSP_THREAD_TYPE_MEDIA, context)
                        : nullptr;
    if (pool != nullptr) {
        g_object_unref(pool);
    }
    if (thread == nullptr) {
        return false;
    }
    // Refused (the media began to stop meanwhile), prepare leaves the thread running.
    const bool held = gst_rtsp_media_prepare(media, thread) != FALSE;
    if (!held) {
        gst_rtsp_thread_stop(thread);
    }
    return held;
}

GstRTSPFilterResult count_transport(GstRTSPStream*, GstRTSPStreamTransport*, gpointer count) {
    ++*static_cast<guint*>(count);
    return GST_RTSP_FILTER_KEEP;
}

/// Whether any client receives `media`'s streams.
bool has_clients(GstRTSPMedia* media) {
    guint transports = 0;
    const guint streams = gst_rtsp_media_n_streams(media);
    for (guint i = 0; i < streams; ++i) {
        gst_rtsp_stream_transport_filter(gst_rtsp_media_get_stream(media, i), count_transport,
                                         &transports);
    }
    return transports > 0;
}

/// A joining client can only start decoding at a key frame.
void request_key_frame(GstRTSPMedia* media) {
    GstElement* element = gst_rtsp_media_get_element(media);
    GstElement* encoder = gst_bin_get_by_name(GST_BIN(element), "enc");
    if (encoder != nullptr) {
        GstPad* pad = gst_element_get_static_pad(encoder, "src");
        gst_pad_send_event(
            pad, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
        gst_object_unref(pad);
        gst_object_unref(encoder);
    }
    gst_object_unref(element);
}

} // namespace

rtsp_media_keeper::rtsp_media_keeper(std::chrono::milliseconds linger,
                                     std::chrono::milliseconds start_limit)
    : linger_(linger), start_limit_(start_limit) {}

rtsp_media_keeper::~rtsp_media_keeper() {
    for (kept_media& kept : kept_) {
        if (kept.held) {
            release(kept);
        }
        g_object_unref(kept.media);
        g_object_unref(kept.factory);
    }
}

void rtsp_media_keeper::configured(GstRTSPMediaFactory* factory, GstRTSPMedia* media) {
    kept_.push_back({static_cast<GstRTSPMedia*>(g_object_ref(media)),
                     static_cast<GstRTSPMediaFactory*>(g_object_ref(factory)), false,
                     std::nullopt});
    limit_start(media, start_limit_);
}

void rtsp_media_keeper::playing(GstRTSPMedia* media, GstRTSPContext* context) {
    kept_media* kept = find(media);
    if (kept == nullptr) {
        return;
    }
    if (!kept->held) {
        kept->held = hold(media, context);
    }
    kept->idle_since.reset();
    request_key_frame(media);
}

void rtsp_media_keeper::tick() {
    const auto now = std::chrono::steady_clock::now();
    for (kept_media& kept : kept_) {
        if (!kept.held) {
            continue;
        }
        if (has_clients(kept.media)) {
            kept.idle_since.reset();
        } else if (!kept.idle_since) {
            kept.idle_since = now;
        } else if (now - *kept.idle_since >= linger_) {
            release(kept);
        }
    }
    // A media without a hold is over once the server has unprepared it: it is never reused.
    for (auto kept = kept_.begin(); kept != kept_.end();) {
        if (kept->held ||
            gst_rtsp_media_get_status(kept->media) != GST_RTSP_MEDIA_STATUS_UNPREPARED) {
            ++kept;
            continue;
        }
        g_object_unref(kept->media);
        g_object_unref(kept->factory);
        kept = kept_.erase(kept);
    }
}

bool rtsp_media_keeper::failed(GstRTSPMediaFactory* factory) const {
    const auto newest =
        std::find_if(kept_.rbegin(), kept_.rend(),
                     [factory](const kept_media& kept) { return kept.factory == factory; });
    return newest != kept_.rend() &&
           gst_rtsp_media_get_status(newest->media) == GST_RTSP_MEDIA_STATUS_ERROR;
}

rtsp_media_keeper::kept_media* rtsp_media_keeper::find(GstRTSPMedia* media) {
    const auto found = std::find_if(kept_.begin(), kept_.end(), [media](const kept_media& kept) {
        return kept.media == media;
    });
    return found == kept_.end() ? nullptr : &*found;
}

void rtsp_media_keeper::release(kept_media& kept) {
    kept.held = false;
    kept.idle_since.reset();
    gst_rtsp_media_unprepare(kept.media);
}

} // namespace zorvgst_serve
