// SPDX-License-Identifier: LGPL-2.1-or-later
// One-level scan of a directory for the entries supervisors list as buffers.
#pragma once

#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <zorvgst/buffer_name.h>

namespace zorvgst::detail {

/// What a scan found; the caller reports the failures in its own words.
struct directory_listing {
    enum class outcome { listed, not_a_directory, walk_failed };
    outcome result = outcome::listed;
    std::vector<std::string> names; ///< entry names without directory; empty unless listed
    std::string walk_error;         ///< the filesystem error's text when the walk failed
};

/// Entry names of `directory` (any kind of entry, no recursion, in the order the directory gives
/// them) that are listed buffer names. A directory that cannot be examined counts as none; a
/// failure during the walk discards every name.
inline directory_listing list_buffer_entries(const boost::filesystem::path& directory) {
    namespace fs = boost::filesystem;
    directory_listing listing;
    // Without throwing: a path that cannot be examined (too long, no permission) is no directory.
    boost::system::error_code status_error;
    if (!fs::is_directory(fs::status(directory, status_error))) {
        listing.result = directory_listing::outcome::not_a_directory;
        return listing;
    }
    try {
        for (fs::directory_iterator entry(directory), end; entry != end; ++entry) {
            std::string name = entry->path().filename().string();
            if (is_listed_buffer_name(name)) {
                listing.names.push_back(std::move(name));
            }
        }
    } catch (const fs::filesystem_error& e) {
        listing.result = directory_listing::outcome::walk_failed;
        listing.names.clear();
        listing.walk_error = e.what();
    }
    return listing;
}

} // namespace zorvgst::detail
