// SPDX-License-Identifier: LGPL-2.1-or-later
// The server's view of the inventory.
#include "buffer_catalog.h"
#include <cstdint>

namespace zorvgst_serve {

void buffer_catalog::refresh() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<zorvgst::buffer_status> fresh = zorvgst::list_buffers();
    const double elapsed = std::chrono::duration<double>(now - taken_).count();
    std::map<std::string, std::uint64_t> counted;
    for (const auto& before : buffers_) {
        counted[before.name] = before.frame_count;
    }
    std::map<std::string, double> rates;
    for (const auto& status : fresh) {
        const auto before = counted.find(status.name);
        // A restarted writer counts from 0 again: no rate across that.
        if (before != counted.end() && status.frame_count >= before->second && elapsed > 0) {
            rates[status.name] = static_cast<double>(status.frame_count - before->second) / elapsed;
        }
    }
    buffers_ = std::move(fresh);
    fps_ = std::move(rates);
    taken_ = now;
}

double buffer_catalog::fps(const std::string& name) const {
    const auto found = fps_.find(name);
    return found == fps_.end() ? 0.0 : found->second;
}

bool buffer_catalog::plain_name(const std::string& name) {
    // Names go into URLs and RTSP paths unescaped: fewer characters than a listed name may have.
    return zorvgst::is_listed_buffer_name(name) &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                  "0123456789_-.") == std::string::npos;
}

std::optional<zorvgst::buffer_status> buffer_catalog::servable(const std::string& name) const {
    if (!plain_name(name)) {
        return std::nullopt;
    }
    std::optional<zorvgst::buffer_status> status = zorvgst::find_buffer(name);
    if (!status || status->state == zorvgst::buffer_state::orphan ||
        status->state == zorvgst::buffer_state::foreign) {
        return std::nullopt;
    }
    return status;
}

} // namespace zorvgst_serve
