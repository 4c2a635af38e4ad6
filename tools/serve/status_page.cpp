// SPDX-License-Identifier: LGPL-2.1-or-later
// The status page's files (status_page/), read from the resources compiled into the program.
#include "status_page.h"
#include <cstring>

// The generated header declares its C function without extern "C". GLib's headers come first so
// that their C++ parts are not inside the C linkage block.
#include <gio/gio.h>
extern "C" {
#include "status_page_resources.h"
}

namespace zorvgst_serve {

namespace {

// Where index.html links its assets: replaced by the asset query.
constexpr const char* asset_query_placeholder = "{{asset_query}}";

/// `file` from its second line on when its first is the licence line: that line is for whoever
/// reads the sources, not for browsers. A view into the same bytes.
GBytes* without_licence_line(GBytes* file) {
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(file, &size));
    const auto* line_end = static_cast<const char*>(std::memchr(data, '\n', size));
    if (line_end == nullptr ||
        g_strstr_len(data, line_end - data, "SPDX-License-Identifier:") == nullptr) {
        return file;
    }
    const gsize licence_size = static_cast<gsize>(line_end - data) + 1;
    GBytes* rest = g_bytes_new_from_bytes(file, licence_size, size - licence_size);
    g_bytes_unref(file);
    return rest;
}

GBytes* status_page_file(const char* name) {
    const std::string path = std::string("/zorvgst-serve/status_page/") + name;
    GError* error = nullptr;
    GBytes* file = g_resource_lookup_data(zorvgst_serve_status_page_get_resource(), path.c_str(),
                                          G_RESOURCE_LOOKUP_FLAGS_NONE, &error);
    if (file == nullptr) {
        // Compiled in with the program: missing only if the build itself is broken.
        g_error("zorvgst-serve: no resource %s: %s", path.c_str(), error->message);
    }
    return without_licence_line(file);
}

/// Read once, on first use, and kept for the program's life.
struct status_page_files {
    std::string html = bytes_text(status_page_file("index.html"));
    GBytes* script = status_page_file("app.js");
    GBytes* style = status_page_file("style.css");

    static std::string bytes_text(GBytes* bytes) {
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        std::string text(data, size);
        g_bytes_unref(bytes);
        return text;
    }
};

const status_page_files& files() {
    static const status_page_files loaded;
    return loaded;
}

} // namespace

std::string status_page_html(const std::string& asset_query) {
    std::string page = files().html;
    const std::size_t placeholder_size = std::strlen(asset_query_placeholder);
    for (auto at = page.find(asset_query_placeholder); at != std::string::npos;
         at = page.find(asset_query_placeholder, at + asset_query.size())) {
        page.replace(at, placeholder_size, asset_query);
    }
    return page;
}

GBytes* status_page_script() {
    return files().script;
}

GBytes* status_page_style() {
    return files().style;
}

} // namespace zorvgst_serve
