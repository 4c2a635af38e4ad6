// SPDX-License-Identifier: LGPL-2.1-or-later
// The buffers the inventory lists, looked at once a second, and the rate each publishes at.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <zorvgst/inventory.h>

namespace zorvgst_serve {

/// Main-loop thread only.
class buffer_catalog {
public:
    /// Takes a new snapshot of every buffer; rates come from the frame counts since the last.
    void refresh();
    /// The last snapshot, sorted by name.
    const std::vector<zorvgst::buffer_status>& buffers() const { return buffers_; }
    /// Frames per second between the last two snapshots; 0 when unknown.
    double fps(const std::string& name) const;
    /// The buffer `name` as the inventory finds it now, but only a buffer that may be served:
    /// one the inventory lists under exactly that name, whose name a URL and a pipeline
    /// description carry as it is. Nothing otherwise: the request is answered "not found".
    std::optional<zorvgst::buffer_status> servable(const std::string& name) const;
    /// A listed buffer name of letters, digits, '_', '-' and '.' only.
    static bool plain_name(const std::string& name);

private:
    std::vector<zorvgst::buffer_status> buffers_;
    std::chrono::steady_clock::time_point taken_{};
    std::map<std::string, double> fps_;
};

} // namespace zorvgst_serve
