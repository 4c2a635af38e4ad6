// SPDX-License-Identifier: LGPL-2.1-or-later
// Buffer snapshot fields shared by the supervisor's output and the Python package.
#include "host/buffer_report.h"
#include <algorithm>
#include <cstddef>
#include <ctime>
#include <iterator>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace pt = boost::posix_time;
using zorvgst::buffer_status;

namespace zorvgst_host {

namespace {

/// The local time a writer stamped, from the UTC time point the library made of it: the
/// library took the current offset off, and adding it back prints the stamp as stored.
pt::ptime local_time_of(std::chrono::system_clock::time_point time) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    const long offset_s = ::localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
    const auto since_epoch =
        std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()) +
        std::chrono::seconds(offset_s);
    return pt::ptime(boost::gregorian::date(1970, 1, 1)) + pt::microseconds(since_epoch.count());
}

} // namespace

const char* state_name(const buffer_status& status) {
    // In the order of buffer_state.
    static const char* const names[] = {"ready", "not_ready", "orphan", "foreign"};
    const auto index = static_cast<std::size_t>(status.state);
    return index < std::size(names) ? names[index] : "not_ready";
}

std::string format_time(const buffer_status& status) {
    if (status.last_write_time_invalid) {
        return "invalid";
    }
    if (!status.last_write_time) {
        return "-";
    }
    std::string text = pt::to_iso_extended_string(local_time_of(*status.last_write_time));
    std::replace(text.begin(), text.end(), 'T', ' ');
    return text;
}

double age_ms(const buffer_status& status, std::chrono::system_clock::time_point now) {
    if (!status.last_write_time) {
        return -1;
    }
    const double ms =
        std::chrono::duration<double, std::milli>(now - *status.last_write_time).count();
    // A writer whose clock runs ahead of ours still wrote "just now".
    return std::max(ms, 0.0);
}

} // namespace zorvgst_host
