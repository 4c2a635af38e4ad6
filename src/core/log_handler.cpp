// SPDX-License-Identifier: LGPL-2.1-or-later
// The host's log handler, fed by a log4cxx logger of the library's own.
#include <cstddef>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/hierarchy.h>
#include <log4cxx/level.h>
#include <log4cxx/spi/loggingevent.h>

#include <zorvgst/log_handler.h>

#include "internal/log.h"

namespace zorvgst::detail {

std::atomic<const log4cxx::LoggerPtr*> handler_logger{nullptr};

} // namespace zorvgst::detail

namespace zorvgst {
namespace {

// log4cxx's value of each log_level, in the enumeration's order.
constexpr int level_values[] = {
    log4cxx::Level::TRACE_INT, log4cxx::Level::DEBUG_INT, log4cxx::Level::INFO_INT,
    log4cxx::Level::WARN_INT,  log4cxx::Level::ERROR_INT, log4cxx::Level::FATAL_INT,
};

log4cxx::LevelPtr threshold_of(log_level level) {
    return log4cxx::Level::toLevel(level_values[static_cast<std::size_t>(level)]);
}

// The highest level whose value `log4cxx_level` reaches; lines below debug are trace.
log_level level_of(int log4cxx_level) {
    std::size_t level = std::size(level_values) - 1;
    while (level > 0 && log4cxx_level < level_values[level]) {
        --level;
    }
    return static_cast<log_level>(level);
}

struct handler_slot {
    // Held while the handler runs, so that replacing it waits for the call in progress.
    std::mutex mutex;
    std::shared_ptr<const log_handler> handler;
};

// Never destroyed, like the logger that feeds it: lines may arrive while the process exits.
handler_slot& current() {
    static handler_slot* const slot = new handler_slot;
    return *slot;
}

// Set while this thread runs the handler: what the handler makes the library log is dropped
// rather than fed back into it, and replacing the handler from inside it takes no lock.
thread_local bool delivering = false;

// Also ends when a handler breaks its promise and throws.
struct delivery_scope {
    delivery_scope() { delivering = true; }
    ~delivery_scope() { delivering = false; }
    delivery_scope(const delivery_scope&) = delete;
    delivery_scope& operator=(const delivery_scope&) = delete;
};

class handler_appender : public log4cxx::AppenderSkeleton {
public:
    void close() override {}
    bool requiresLayout() const override { return false; }

protected:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override {
        if (delivering) {
            return;
        }
        const std::lock_guard<std::mutex> lock(current().mutex);
        // Kept alive by this copy even if the handler replaces itself.
        const std::shared_ptr<const log_handler> handler = current().handler;
        // A line that raced with the handler's removal.
        if (handler == nullptr) {
            return;
        }
        const auto& location = event->getLocationInformation();
        const std::string message = event->getRenderedMessage();
        const delivery_scope delivery;
        (*handler)(level_of(event->getLevel()->toInt()),
                   location.getFileName() != nullptr ? location.getFileName() : "", message);
    }
};

// In a hierarchy of its own, which no configuration of the host's log4cxx reaches or resets.
// Never destroyed: statements may run while the process exits.
const log4cxx::LoggerPtr& feeding_logger() {
    // The logger keeps no reference to its hierarchy: both are kept here, reachable to the end.
    struct feeding_t {
        log4cxx::HierarchyPtr hierarchy;
        log4cxx::LoggerPtr logger;
    };
    static const feeding_t* const feeding = [] {
        auto* made = new feeding_t{log4cxx::Hierarchy::create(), nullptr};
        made->logger = made->hierarchy->getLogger("zorvgst");
        made->logger->setAdditivity(false);
        made->logger->addAppender(std::make_shared<handler_appender>());
        return made;
    }();
    return feeding->logger;
}

} // namespace

void set_log_handler(log_handler handler, log_level threshold) {
    // Declared before the lock, so destroyed after its release: that may run host code.
    std::shared_ptr<const log_handler> replaced;
    std::unique_lock<std::mutex> lock(current().mutex, std::defer_lock);
    if (!delivering) {
        lock.lock();
    }
    if (handler) {
        // Only a change is written: threads that still log through the previous handler's
        // setting read the threshold without a lock.
        const log4cxx::LevelPtr wanted = threshold_of(threshold);
        const log4cxx::LevelPtr current_level = feeding_logger()->getLevel();
        if (current_level == nullptr || current_level->toInt() != wanted->toInt()) {
            feeding_logger()->setLevel(wanted);
        }
        replaced = std::exchange(current().handler,
                                 std::make_shared<const log_handler>(std::move(handler)));
        detail::handler_logger.store(&feeding_logger(), std::memory_order_release);
    } else {
        detail::handler_logger.store(nullptr, std::memory_order_release);
        replaced = std::exchange(current().handler, nullptr);
    }
}

} // namespace zorvgst
