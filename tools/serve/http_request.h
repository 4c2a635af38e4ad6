// SPDX-License-Identifier: LGPL-2.1-or-later
// What zorvgst-serve reads from an HTTP request: the token, a buffer name in the path, numbers.
#pragma once

#include <optional>
#include <string>

#include <glib.h>

namespace zorvgst_serve {

/// Whether `given` equals `expected`, in a time that does not depend on where they differ.
bool token_matches(const std::string& expected, const std::string& given);

/// Whether a request carries `token`: "Authorization: Bearer T" (`authorization`, may be null)
/// or a `token` query field (`query` as libsoup decodes it, may be null).
bool request_authorized(const std::string& token, const char* authorization, GHashTable* query);

/// NAME when `path` (percent-encoded, as it came) is `prefix` NAME `suffix`, NAME decoded. Names
/// still have to pass the catalog: this only cuts the path.
std::optional<std::string> name_in_path(const std::string& path, const std::string& prefix,
                                        const std::string& suffix);

/// The query field `key` as a whole number in lowest..highest; `fallback` when absent; nothing
/// when present but no such number.
std::optional<unsigned> query_number(GHashTable* query, const char* key, unsigned lowest,
                                     unsigned highest, unsigned fallback);

} // namespace zorvgst_serve
