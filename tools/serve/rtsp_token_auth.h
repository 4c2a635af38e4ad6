// SPDX-License-Identifier: LGPL-2.1-or-later
// RTSP basic authentication that every request must pass, whatever it asks for.
#pragma once

#include <string>

#include <gst/rtsp-server/rtsp-server.h>

namespace zorvgst_serve {

/// The role the token grants; media factories give it access.
extern const char* const rtsp_token_role;

/// An authentication that admits `user` with password `token`, in the role `rtsp_token_role`.
/// Unlike the server's own, it asks every request for the credentials, before the server looks
/// for the media: a client without them gets 401 and the challenge, never a hint whether a
/// path exists. The caller owns the reference.
GstRTSPAuth* make_token_auth(const std::string& user, const std::string& token);

/// Lets only clients in `rtsp_token_role` use `factory`.
void require_token_role(GstRTSPMediaFactory* factory);

} // namespace zorvgst_serve
