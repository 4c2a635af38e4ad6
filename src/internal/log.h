// SPDX-License-Identifier: LGPL-2.1-or-later
// Logging statements of the library: level test first, then streamed fragments, fixed source unit.
#pragma once

#include <atomic>

#include <log4cxx/logger.h>

#include <zorvgst/library.h>

// Every source file is compiled with the name of the unit its log lines carry ("zorvgst",
// "posix_double_buffer" or "sysv_double_buffer"), so hosts see the same location whichever file
// of the unit the statement lives in.
#ifndef ZORVGST_LOG_SOURCE
#error "ZORVGST_LOG_SOURCE must name the source unit of this file"
#endif

#define ZORV_LOG_LOCATION                                                                          \
    ::log4cxx::spi::LocationInfo(ZORVGST_LOG_SOURCE, ZORVGST_LOG_SOURCE, __PRETTY_FUNCTION__,      \
                                 __LINE__)

// Nothing of `message` is evaluated unless `enabled` holds.
#define ZORV_LOG_IF_AT(enabled, target, level_name, message, location)                             \
    do {                                                                                           \
        if (enabled) {                                                                             \
            ::log4cxx::helpers::MessageBuffer zorv_log_buffer_;                                    \
            (target)->forcedLog(::log4cxx::Level::get##level_name(),                               \
                                zorv_log_buffer_.str(zorv_log_buffer_ << message), location);      \
        }                                                                                          \
    } while (0)
#define ZORV_LOG_IF(enabled, target, level_name, message)                                          \
    ZORV_LOG_IF_AT(enabled, target, level_name, message, ZORV_LOG_LOCATION)

#define ZORV_LOG_TO(target, level_name, message)                                                   \
    ZORV_LOG_IF((target)->is##level_name##Enabled(), target, level_name, message)

#ifdef zorvgst_EXPORTS
namespace zorvgst::detail {

// The logger feeding the host's log handler while one is set (never destroyed), else null.
extern std::atomic<const log4cxx::LoggerPtr*> handler_logger;

inline const log4cxx::LoggerPtr& library_log_target() noexcept {
    const log4cxx::LoggerPtr* const handler = handler_logger.load(std::memory_order_acquire);
    return handler != nullptr ? *handler : ::logger;
}

} // namespace zorvgst::detail
#define ZORV_LOG_LIBRARY_TARGET ::zorvgst::detail::library_log_target()
#else
// Programs that compile these statements themselves (the library's tests) have no handler to
// consult: their lines go to `logger`, as the library's do by default.
#define ZORV_LOG_LIBRARY_TARGET ::logger
#endif

// The library's own statements go to the host's handler if it set one, else to `logger` (the
// host's, or the library's default): its cached threshold rules a disabled level out inline,
// without a call into log4cxx on every frame.
#define ZORV_LOG_LIBRARY(level_name, message)                                                      \
    do {                                                                                           \
        const ::log4cxx::LoggerPtr& zorv_log_target_ = ZORV_LOG_LIBRARY_TARGET;                    \
        ZORV_LOG_IF(::log4cxx::Logger::is##level_name##EnabledFor(zorv_log_target_),               \
                    zorv_log_target_, level_name, message);                                        \
    } while (0)

#define ZORV_LOG_TRACE(message) ZORV_LOG_LIBRARY(Trace, message)
#define ZORV_LOG_DEBUG(message) ZORV_LOG_LIBRARY(Debug, message)
#define ZORV_LOG_INFO(message) ZORV_LOG_LIBRARY(Info, message)
#define ZORV_LOG_WARN(message) ZORV_LOG_LIBRARY(Warn, message)
#define ZORV_LOG_ERROR(message) ZORV_LOG_LIBRARY(Error, message)
#define ZORV_LOG_FATAL(message) ZORV_LOG_LIBRARY(Fatal, message)
// For checks shared by several public functions: the line carries the place of the function the
// host called (`where`, its ZORV_LOG_LOCATION), as when each function made the check itself.
#define ZORV_LOG_ERROR_AT(where, message)                                                          \
    do {                                                                                           \
        const ::log4cxx::LoggerPtr& zorv_log_target_ = ZORV_LOG_LIBRARY_TARGET;                    \
        ZORV_LOG_IF_AT(::log4cxx::Logger::isErrorEnabledFor(zorv_log_target_), zorv_log_target_,   \
                       Error, message, where);                                                     \
    } while (0)
