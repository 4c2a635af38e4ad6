// SPDX-License-Identifier: LGPL-2.1-or-later
// A log4cxx appender feeding Python's logging without ever taking the GIL on a library thread.
#include "log_bridge.h"
#include <deque>
#include <mutex>
#include <string>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/level.h>
#include <log4cxx/logger.h>
#include <log4cxx/spi/loggingevent.h>

namespace py = pybind11;

// The library writes to the `logger` of the process. A Python process defines none, so this
// module does; where another module loaded first already did, the library keeps that one. Linked
// with -Bsymbolic, so the uses below always mean this definition.
__attribute__((visibility("default"))) log4cxx::LoggerPtr logger =
    log4cxx::Logger::getLogger("zorvgst-python");

namespace zorvpy {

namespace {

struct queued_line {
    int python_level;
    std::string message;
    std::string function;
    int line;
};

// Bounded: a flood of lines while Python is busy costs memory only up to here.
constexpr std::size_t most_queued = 1000;

std::mutex queue_mutex;
std::deque<queued_line> queue;
bool drain_scheduled = false;
std::size_t lines_dropped = 0;

int python_level_of(int log4cxx_level) {
    if (log4cxx_level >= log4cxx::Level::FATAL_INT) {
        return 50; // CRITICAL
    }
    if (log4cxx_level >= log4cxx::Level::ERROR_INT) {
        return 40;
    }
    if (log4cxx_level >= log4cxx::Level::WARN_INT) {
        return 30;
    }
    if (log4cxx_level >= log4cxx::Level::INFO_INT) {
        return 20;
    }
    if (log4cxx_level >= log4cxx::Level::DEBUG_INT) {
        return 10;
    }
    return 5; // below DEBUG: the library's trace lines
}

log4cxx::LevelPtr library_level_of(int python_level) {
    if (python_level > 40) {
        return log4cxx::Level::getFatal();
    }
    if (python_level > 30) {
        return log4cxx::Level::getError();
    }
    if (python_level > 20) {
        return log4cxx::Level::getWarn();
    }
    if (python_level > 10) {
        return log4cxx::Level::getInfo();
    }
    if (python_level > 5) {
        return log4cxx::Level::getDebug();
    }
    return log4cxx::Level::getTrace();
}

// Runs on the main thread with the GIL held, between two bytecodes.
int drain_queue(void*) {
    std::deque<queued_line> lines;
    std::size_t dropped = 0;
    {
        const std::lock_guard<std::mutex> lock(queue_mutex);
        lines.swap(queue);
        dropped = lines_dropped;
        lines_dropped = 0;
        drain_scheduled = false;
    }
    try {
        const py::object python_logger =
            py::module_::import("logging").attr("getLogger")("zorvgst");
        for (const queued_line& line : lines) {
            if (!python_logger.attr("isEnabledFor")(line.python_level).cast<bool>()) {
                continue;
            }
            const py::object record = python_logger.attr("makeRecord")(
                "zorvgst", line.python_level, "zorvgst", line.line, line.message, py::tuple(),
                py::none(), line.function);
            python_logger.attr("handle")(record);
        }
        if (dropped != 0) {
            python_logger.attr("warning")("%d library log lines dropped while Python was busy",
                                          dropped);
        }
    } catch (const py::error_already_set&) {
        // Logging must never raise into whatever the main thread was running.
        PyErr_Clear();
    }
    return 0;
}

class python_appender : public log4cxx::AppenderSkeleton {
public:
    void close() override {}
    bool requiresLayout() const override { return false; }

protected:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override {
        const auto& location = event->getLocationInformation();
        bool schedule = false;
        {
            const std::lock_guard<std::mutex> lock(queue_mutex);
            if (queue.size() >= most_queued) {
                ++lines_dropped;
                return;
            }
            queue.push_back({python_level_of(event->getLevel()->toInt()),
                             event->getRenderedMessage(), location.getMethodName(),
                             location.getLineNumber()});
            schedule = !drain_scheduled;
            drain_scheduled = drain_scheduled || schedule;
        }
        // Thread-safe without the GIL; fails only while the interpreter is finalising.
        if (schedule && Py_AddPendingCall(drain_queue, nullptr) != 0) {
            const std::lock_guard<std::mutex> lock(queue_mutex);
            drain_scheduled = false;
        }
    }
};

} // namespace

void install_log_bridge(py::module_& module) {
    logger->setAdditivity(false);
    logger->addAppender(std::make_shared<python_appender>());
    follow_python_log_level();
    module.def("_follow_log_level", &follow_python_log_level,
               "Sets the library's threshold from the effective level of the 'zorvgst' logger.");
    module.def(
        "_flush_log", [] { drain_queue(nullptr); }, "Emits the library's queued log lines now.");
}

void follow_python_log_level() {
    const py::object python_logger = py::module_::import("logging").attr("getLogger")("zorvgst");
    logger->setLevel(library_level_of(python_logger.attr("getEffectiveLevel")().cast<int>()));
}

} // namespace zorvpy
