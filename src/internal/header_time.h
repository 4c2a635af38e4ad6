// SPDX-License-Identifier: LGPL-2.1-or-later
// The local time a writer stamps into a header, as a point in time that needs no time zone.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <exception>
#include <optional>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace zorvgst::detail {

/// How far local time is ahead of UTC now (negative west of Greenwich). Writers stamp local
/// time without its offset, so the current one is the best guess for a recent stamp.
inline std::chrono::seconds local_utc_offset() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) == nullptr) {
        return std::chrono::seconds(0);
    }
    return std::chrono::seconds(local.tm_gmtoff);
}

/// A header's time, converted.
struct converted_header_time {
    std::optional<std::chrono::system_clock::time_point> time; ///< empty unless usable
    bool invalid = false; ///< a value that is no time, rather than "no frame yet"
};

/// Converts the local time of a header into a UTC time point. Not-a-date-time (no frame yet)
/// gives nothing; a special value, a year before 1970 or after 9999, or one beyond what a time
/// point holds is garbage from shared memory and gives nothing marked invalid.
inline converted_header_time utc_from_header_time(const boost::posix_time::ptime& local) {
    namespace pt = boost::posix_time;
    using clock = std::chrono::system_clock;
    converted_header_time converted;
    if (local.is_not_a_date_time()) {
        return converted;
    }
    converted.invalid = true;
    if (local.is_special()) {
        return converted;
    }
    try {
        const int year = local.date().year();
        if (year < 1970 || year > 9999) {
            return converted;
        }
    } catch (const std::exception&) {
        return converted;
    }
    const pt::ptime epoch(boost::gregorian::date(1970, 1, 1));
    const std::int64_t local_us = (local - epoch).total_microseconds();
    const std::int64_t utc_us = local_us - std::chrono::microseconds(local_utc_offset()).count();
    // A nanosecond time point ends in 2262.
    constexpr std::int64_t limit_us =
        std::chrono::duration_cast<std::chrono::microseconds>(clock::duration::max()).count();
    if (utc_us > limit_us) {
        return converted;
    }
    converted.invalid = false;
    converted.time = clock::time_point(
        std::chrono::duration_cast<clock::duration>(std::chrono::microseconds(utc_us)));
    return converted;
}

} // namespace zorvgst::detail
