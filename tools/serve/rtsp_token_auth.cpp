// SPDX-License-Identifier: LGPL-2.1-or-later
// A GstRTSPAuth subclass that authenticates each request as it arrives.
#include "rtsp_token_auth.h"

namespace zorvgst_serve {

const char* const rtsp_token_role = "zorvgst";

namespace {

GstRTSPAuthClass* parent_class = nullptr;

/// The server checks the URL of every request first, but asks for no credentials there by
/// default; this check does.
gboolean check_every_request(GstRTSPAuth* auth, GstRTSPContext* context, const gchar* check) {
    if (g_str_equal(check, GST_RTSP_AUTH_CHECK_URL) && context->token == nullptr) {
        // The server's check of client settings starts by authenticating, and answers 401 with
        // the challenge itself when that fails; whether the settings are allowed does not matter.
        parent_class->check(auth, context, GST_RTSP_AUTH_CHECK_TRANSPORT_CLIENT_SETTINGS);
        if (context->token == nullptr) {
            return FALSE;
        }
    }
    return parent_class->check(auth, context, check);
}

GType token_auth_type() {
    static const GType type = g_type_register_static_simple(
        GST_TYPE_RTSP_AUTH, "ZorvServeTokenAuth", sizeof(GstRTSPAuthClass),
        [](gpointer type_class, gpointer) {
            parent_class = GST_RTSP_AUTH_CLASS(g_type_class_peek_parent(type_class));
            GST_RTSP_AUTH_CLASS(type_class)->check = check_every_request;
        },
        sizeof(GstRTSPAuth), nullptr, GTypeFlags{});
    return type;
}

} // namespace

GstRTSPAuth* make_token_auth(const std::string& user, const std::string& token) {
    auto* auth = static_cast<GstRTSPAuth*>(g_object_new(token_auth_type(), nullptr));
    GstRTSPToken* role = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING,
                                            rtsp_token_role, nullptr);
    gchar* basic = gst_rtsp_auth_make_basic(user.c_str(), token.c_str());
    gst_rtsp_auth_add_basic(auth, basic, role);
    g_free(basic);
    gst_rtsp_token_unref(role);
    return auth;
}

void require_token_role(GstRTSPMediaFactory* factory) {
    gst_rtsp_media_factory_add_role(factory, rtsp_token_role, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS,
                                    G_TYPE_BOOLEAN, TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT,
                                    G_TYPE_BOOLEAN, TRUE, nullptr);
}

} // namespace zorvgst_serve
