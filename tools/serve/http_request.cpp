// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading the token, buffer names and numbers from zorvgst-serve's HTTP requests.
#include "http_request.h"

#include "tools/common/arguments.h"

namespace zorvgst_serve {

bool token_matches(const std::string& expected, const std::string& given) {
    // Every byte of the longer string is looked at, so that the time taken does not tell an
    // attacker how much of a guess was right.
    const std::size_t length = std::max(expected.size(), given.size());
    unsigned char difference = expected.size() == given.size() ? 0 : 1;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char a = i < expected.size() ? expected[i] : 0;
        const unsigned char b = i < given.size() ? given[i] : 0;
        difference |= static_cast<unsigned char>(a ^ b);
    }
    return difference == 0;
}

bool request_authorized(const std::string& token, const char* authorization, GHashTable* query) {
    static const std::string scheme = "Bearer ";
    if (authorization != nullptr) {
        const std::string header = authorization;
        if (header.compare(0, scheme.size(), scheme) == 0 &&
            token_matches(token, header.substr(scheme.size()))) {
            return true;
        }
    }
    const auto* given =
        query ? static_cast<const char*>(g_hash_table_lookup(query, "token")) : nullptr;
    return given != nullptr && token_matches(token, given);
}

std::optional<std::string> name_in_path(const std::string& path, const std::string& prefix,
                                        const std::string& suffix) {
    if (path.size() <= prefix.size() + suffix.size() || path.compare(0, prefix.size(), prefix) ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix)) {
        return std::nullopt;
    }
    const std::string encoded =
        path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    // An escaped '/' or NUL makes no name: refused here rather than decoded into a path.
    char* decoded = g_uri_unescape_string(encoded.c_str(), "/");
    if (decoded == nullptr) {
        return std::nullopt;
    }
    std::string name = decoded;
    g_free(decoded);
    return name;
}

std::optional<unsigned> query_number(GHashTable* query, const char* key, unsigned lowest,
                                     unsigned highest, unsigned fallback) {
    const auto* text = query ? static_cast<const char*>(g_hash_table_lookup(query, key)) : nullptr;
    if (text == nullptr) {
        return fallback;
    }
    const auto number = zorvgst_tools::whole_number(text, lowest, highest);
    if (!number) {
        return std::nullopt;
    }
    return static_cast<unsigned>(*number);
}

} // namespace zorvgst_serve
