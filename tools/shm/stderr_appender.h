// SPDX-License-Identifier: LGPL-2.1-or-later
// Log appender of the CLI: the library's lines on standard error, each distinct line once.
#pragma once

#include <mutex>
#include <set>
#include <string>

#include <log4cxx/appenderskeleton.h>

namespace zorvgst_shm {

/// Writes "zorvgst-shm: LEVEL message" to standard error. A command opens many buffers, and the
/// library repeats the same complaint for each (a missing group, say): the first one is enough.
class stderr_appender : public log4cxx::AppenderSkeleton {
public:
    void close() override {}
    bool requiresLayout() const override { return false; }

protected:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override;

private:
    std::mutex mutex;
    std::set<std::string> seen;
};

} // namespace zorvgst_shm
