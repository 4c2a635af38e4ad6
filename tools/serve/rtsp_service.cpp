// SPDX-License-Identifier: LGPL-2.1-or-later
// The RTSP side of zorvgst-serve: the server, its clients, and a mount for each buffer asked for.
#include "rtsp_service.h"
#include <algorithm>
#include <iostream>
#include <map>
#include <mutex>
#include <stdexcept>

#include <gst/rtsp-server/rtsp-server.h>

#include "rtsp_media_keeper.h"
#include "rtsp_pipeline.h"
#include "rtsp_requested_name.h"
#include "rtsp_token_auth.h"
#include "tools/common/buffer_report.h"

namespace zorvgst_serve {

namespace {

constexpr const char* user = "zorvgst";
// How long a media runs on after its last client left, for viewers who come back.
constexpr std::chrono::seconds linger{5};
// How long the main loop may wait for a new media's first frames.
constexpr std::chrono::seconds start_limit{5};

gboolean close_client(gpointer client) {
    gst_rtsp_client_close(static_cast<GstRTSPClient*>(client));
    return G_SOURCE_REMOVE;
}

} // namespace

struct rtsp_service::state {
    state(const serve_options& chosen, const buffer_catalog& buffers, server_stats& counters)
        : options(chosen), catalog(buffers), stats(counters),
          encoder(usable_encoder(chosen.encoder, have_x264enc())), keeper(linger, start_limit) {}
    ~state();

    struct mount {
        GstRTSPMediaFactory* factory; // the mount points' reference
        std::string launch;
    };

    const serve_options& options;
    const buffer_catalog& catalog;
    server_stats& stats;
    const encoder_choice encoder;
    rtsp_media_keeper keeper;
    GstRTSPServer* server = nullptr;
    GstRTSPMountPoints* mount_points = nullptr;
    GstRTSPAuth* auth = nullptr;
    // Clients are served on threads of the server's pool: what their requests and the once-a-
    // second tick share is taken under this lock. (Served on the main loop instead, clients
    // killed mid-stream crashed the server in gst_rtsp_client_close.)
    std::recursive_mutex lock;
    std::map<std::string, mount> mounts;
    guint server_source = 0;
    guint tick_source = 0;

    void client_connected(GstRTSPClient* client);
    GstRTSPStatusCode describing(GstRTSPContext* context);
    void mount_buffer(const zorvgst::buffer_status& status);
    void unmount(const std::string& name);
    void tick();
};

rtsp_service::state::~state() {
    if (tick_source != 0) {
        g_source_remove(tick_source);
    }
    if (server != nullptr) {
        // Every client goes, and with the last one each media stops.
        gst_rtsp_server_client_filter(
            server,
            [](GstRTSPServer*, GstRTSPClient* client, gpointer self) {
                g_signal_handlers_disconnect_by_data(client, self);
                return GST_RTSP_FILTER_REMOVE;
            },
            this);
        if (server_source != 0) {
            g_source_remove(server_source);
        }
        g_object_unref(server);
    }
    if (mount_points != nullptr) {
        g_object_unref(mount_points);
    }
    if (auth != nullptr) {
        g_object_unref(auth);
    }
}

void rtsp_service::state::client_connected(GstRTSPClient* client) {
    if (stats.rtsp_clients >= options.max_clients) {
        ++stats.rtsp_refused;
        // The server attaches the client to the loop after this signal: close it from there.
        g_idle_add_full(G_PRIORITY_HIGH, close_client, g_object_ref(client), g_object_unref);
        return;
    }
    ++stats.rtsp_clients;
    g_signal_connect(client, "closed", G_CALLBACK(+[](GstRTSPClient*, gpointer self) {
                         --static_cast<state*>(self)->stats.rtsp_clients;
                     }),
                     this);
    g_signal_connect(client, "pre-describe-request",
                     G_CALLBACK(+[](GstRTSPClient*, GstRTSPContext* context, gpointer self) {
                         return static_cast<state*>(self)->describing(context);
                     }),
                     this);
    g_signal_connect(client, "play-request",
                     G_CALLBACK(+[](GstRTSPClient*, GstRTSPContext* context, gpointer self) {
                         GstRTSPMedia* media = context->media;
                         if (media == nullptr && context->sessmedia != nullptr) {
                             media = gst_rtsp_session_media_get_media(context->sessmedia);
                         }
                         if (media != nullptr) {
                             auto* service = static_cast<state*>(self);
                             const std::lock_guard<std::recursive_mutex> held(service->lock);
                             service->keeper.playing(media, context);
                         }
                     }),
                     this);
}

GstRTSPStatusCode rtsp_service::state::describing(GstRTSPContext* context) {
    const std::lock_guard<std::recursive_mutex> held(lock);
    const std::optional<std::string> name =
        context->uri != nullptr ? requested_name(context->uri->abspath) : std::nullopt;
    const std::optional<zorvgst::buffer_status> status =
        name ? catalog.servable(*name) : std::nullopt;
    if (!status) {
        if (name) {
            unmount(*name);
        }
        return GST_RTSP_STS_NOT_FOUND;
    }
    if (status->state != zorvgst::buffer_state::ready || status->frame_count == 0) {
        // No frame to show yet: a media would only wait for one.
        return GST_RTSP_STS_SERVICE_UNAVAILABLE;
    }
    mount_buffer(*status);
    return GST_RTSP_STS_OK;
}

void rtsp_service::state::mount_buffer(const zorvgst::buffer_status& status) {
    std::string launch =
        launch_description(status, zorvgst_tools::makeup_of(status).format, encoder);
    const auto mounted = mounts.find(status.name);
    if (mounted != mounts.end() && mounted->second.launch == launch &&
        !keeper.failed(mounted->second.factory)) {
        return;
    }
    // A new factory when the description changed (the other backend, odd sides, a ring of YUV
    // frames under JPEG) or the media failed: clients of the old one keep it until they leave.
    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(factory, launch.c_str());
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    if (auth != nullptr) {
        require_token_role(factory);
    }
    g_signal_connect(
        factory, "media-configure",
        G_CALLBACK(+[](GstRTSPMediaFactory* made_by, GstRTSPMedia* media, gpointer self) {
            auto* service = static_cast<state*>(self);
            const std::lock_guard<std::recursive_mutex> held(service->lock);
            service->keeper.configured(made_by, media);
        }),
        this);
    const std::string path = "/" + status.name;
    gst_rtsp_mount_points_add_factory(mount_points, path.c_str(), factory);
    mounts[status.name] = mount{factory, std::move(launch)};
}

void rtsp_service::state::unmount(const std::string& name) {
    if (mounts.erase(name) > 0) {
        const std::string path = "/" + name;
        gst_rtsp_mount_points_remove_factory(mount_points, path.c_str());
    }
}

void rtsp_service::state::tick() {
    const std::lock_guard<std::recursive_mutex> held(lock);
    keeper.tick();
    GstRTSPSessionPool* sessions = gst_rtsp_server_get_session_pool(server);
    gst_rtsp_session_pool_cleanup(sessions);
    g_object_unref(sessions);
    // Buffers gone from the inventory lose their mounts without waiting for a client to ask.
    std::vector<std::string> gone;
    const auto& listed = catalog.buffers();
    for (const auto& entry : mounts) {
        const std::string& name = entry.first;
        if (std::none_of(listed.begin(), listed.end(),
                         [&name](const auto& status) { return status.name == name; })) {
            gone.push_back(name);
        }
    }
    for (const std::string& name : gone) {
        unmount(name);
    }
}

rtsp_service::rtsp_service(const serve_options& options, const buffer_catalog& catalog,
                           server_stats& stats)
    : state_(std::make_unique<state>(options, catalog, stats)) {
    if (options.encoder == encoder_choice::x264 && state_->encoder != encoder_choice::x264) {
        std::cerr << "zorvgst-serve: x264enc is missing: serving JPEG over RTP" << std::endl;
    }
}

rtsp_service::~rtsp_service() = default;

unsigned rtsp_service::start() {
    state& s = *state_;
    s.server = gst_rtsp_server_new();
    gst_rtsp_server_set_address(s.server, s.options.bind.c_str());
    gst_rtsp_server_set_service(s.server, std::to_string(s.options.rtsp_port).c_str());
    s.mount_points = gst_rtsp_server_get_mount_points(s.server);
    if (!s.options.token.empty()) {
        s.auth = make_token_auth(user, s.options.token);
        gst_rtsp_server_set_auth(s.server, s.auth);
    }
    g_signal_connect(s.server, "client-connected",
                     G_CALLBACK(+[](GstRTSPServer*, GstRTSPClient* client, gpointer self) {
                         static_cast<state*>(self)->client_connected(client);
                     }),
                     &s);
    s.server_source = gst_rtsp_server_attach(s.server, nullptr);
    if (s.server_source == 0) {
        throw std::runtime_error("cannot listen for RTSP on " + s.options.bind + " port " +
                                 std::to_string(s.options.rtsp_port));
    }
    s.tick_source = g_timeout_add_seconds(
        1,
        +[](gpointer self) -> gboolean {
            static_cast<state*>(self)->tick();
            return G_SOURCE_CONTINUE;
        },
        &s);
    return static_cast<unsigned>(gst_rtsp_server_get_bound_port(s.server));
}

std::string rtsp_service::encoder() const {
    return encoder_name(state_->encoder);
}

} // namespace zorvgst_serve
