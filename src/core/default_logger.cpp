// SPDX-License-Identifier: LGPL-2.1-or-later
// The library's own `logger`, which stands in for the host's where the host defines none.
#include <cstring>
#include <memory>
#include <new>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>

// Why a weak definition here rather than looking the host's `logger` up at start-up: the dynamic
// linker already resolves the library's references to the first `logger` in its lookup scope, so
// an executable's definition overrides this one, and so does that of a module loaded with
// dlopen(RTLD_LOCAL) that brings the library in (the GStreamer plug-in, the Python module), which
// dlsym(RTLD_DEFAULT) would not see. Linkers export an executable's `logger` because this
// library defines one too, so hosts built as before keep binding theirs.
//
// Bytes rather than a log4cxx::LoggerPtr: this TU must not register a destructor, which would run
// on whichever `logger` won, and destroy a host's object a second time at exit. The bytes hold a
// mark until the constructor below puts the default there; a host's own definition never holds it
// (it is zero until built), while a copy of this one in a host that only refers to `logger` (a
// copy relocation) does, and gets the default too.
#define ZORVGST_UNCLAIMED_LOGGER "zorvgst-default"
static_assert(sizeof(ZORVGST_UNCLAIMED_LOGGER) <= sizeof(log4cxx::LoggerPtr));

using logger_bytes = unsigned char[sizeof(log4cxx::LoggerPtr)];

extern "C" {
[[gnu::weak, gnu::visibility("default")]] alignas(log4cxx::LoggerPtr)
    logger_bytes logger = ZORVGST_UNCLAIMED_LOGGER;
}

namespace {

// Takes each line and drops it. Beside log4cxx's own appenders, which the host's configuration
// decides (lines still reach the root's), it keeps an unconfigured log4cxx from telling a host
// that never chose log4cxx to "initialize the log4cxx system properly".
class silent_appender : public log4cxx::AppenderSkeleton {
public:
    void close() override {}
    bool requiresLayout() const override { return false; }

protected:
    void append(const log4cxx::spi::LoggingEventPtr&, log4cxx::helpers::Pool&) override {}
};

// Before any other initialiser of the library, which may log; never destroyed, so lines logged
// while the process exits still find a logger.
__attribute__((constructor(101))) void claim_default_logger() {
    if (std::memcmp(logger, ZORVGST_UNCLAIMED_LOGGER, sizeof(ZORVGST_UNCLAIMED_LOGGER)) == 0) {
        auto* library_logger =
            new (logger) log4cxx::LoggerPtr(log4cxx::Logger::getLogger("zorvgst"));
        (*library_logger)->addAppender(std::make_shared<silent_appender>());
    }
}

} // namespace
