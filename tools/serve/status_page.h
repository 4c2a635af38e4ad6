// SPDX-License-Identifier: LGPL-2.1-or-later
// The status page and its script and style sheet, compiled into the program.
#pragma once

#include <string>

#include <glib.h>

namespace zorvgst_serve {

/// The page, its asset URLs followed by `asset_query` ("" or "?token=..." already URL-encoded),
/// since a browser sends no header of its own with them.
std::string status_page_html(const std::string& asset_query);

/// /app.js: polls /api/buffers and /api/status, keeps one card per buffer with its thumbnail.
/// The program's own bytes, alive to its end: sent as they are, never copied.
GBytes* status_page_script();
/// /style.css, as the script.
GBytes* status_page_style();

} // namespace zorvgst_serve
