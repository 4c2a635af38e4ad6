// SPDX-License-Identifier: LGPL-2.1-or-later
// The `logger` the library writes to when the process that loads the plugin defines none.
#include <atomic>
#include <string>

#include <gst/gst.h>
#include <log4cxx/appenderskeleton.h>
#include <log4cxx/level.h>
#include <log4cxx/logger.h>
#include <log4cxx/spi/loggingevent.h>

#include <zorvgst/zorvgst.h>

#include "host_logger.h"

namespace {

GstDebugCategory* library_cat = nullptr;

// Hands each library line to GStreamer's debug log under the "zorvgst" category.
class gst_debug_appender_t : public log4cxx::AppenderSkeleton {
public:
    void close() override {}
    bool requiresLayout() const override { return false; }

protected:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override {
        GstDebugCategory* category = library_cat;
        if (category == nullptr) {
            return;
        }
        const int level = event->getLevel()->toInt();
        GstDebugLevel gst_level = GST_LEVEL_TRACE;
        if (level >= log4cxx::Level::ERROR_INT) {
            gst_level = GST_LEVEL_ERROR;
        } else if (level >= log4cxx::Level::WARN_INT) {
            gst_level = GST_LEVEL_WARNING;
        } else if (level >= log4cxx::Level::INFO_INT) {
            gst_level = GST_LEVEL_INFO;
        } else if (level >= log4cxx::Level::DEBUG_INT) {
            gst_level = GST_LEVEL_DEBUG;
        }
        if (gst_level > gst_debug_category_get_threshold(category)) {
            return;
        }
        const auto& location = event->getLocationInformation();
        const std::string message = event->getRenderedMessage();
        const std::string function = location.getMethodName();
        gst_debug_log(category, gst_level,
                      location.getFileName() != nullptr ? location.getFileName() : "zorvgst",
                      function.c_str(), location.getLineNumber(), nullptr, "%s", message.c_str());
    }
};

log4cxx::LoggerPtr make_plugin_logger() {
    // A name of its own, detached from the root: a host that defines its `logger` (and whose
    // appenders may feed GStreamer's log back into log4cxx) never sees these lines.
    log4cxx::LoggerPtr plugin_logger = log4cxx::Logger::getLogger("zorvgst-gst-plugin");
    plugin_logger->setAdditivity(false);
    plugin_logger->setLevel(log4cxx::Level::getOff());
    plugin_logger->addAppender(std::make_shared<gst_debug_appender_t>());
    return plugin_logger;
}

log4cxx::LevelPtr level_for(GstDebugLevel threshold) {
    switch (threshold) {
    case GST_LEVEL_NONE:
        return log4cxx::Level::getOff();
    case GST_LEVEL_ERROR:
        return log4cxx::Level::getError();
    case GST_LEVEL_WARNING:
    case GST_LEVEL_FIXME:
        return log4cxx::Level::getWarn();
    case GST_LEVEL_INFO:
        return log4cxx::Level::getInfo();
    case GST_LEVEL_DEBUG:
        return log4cxx::Level::getDebug();
    default:
        return log4cxx::Level::getTrace();
    }
}

} // namespace

// When the host program defines `logger`, the dynamic linker binds the library to the host's
// and this one merely stays silent. Linked with -Bsymbolic so the code below always means this
// definition, never the host's.
__attribute__((visibility("default"))) log4cxx::LoggerPtr logger = make_plugin_logger();

namespace zorvplugin {

void init_library_logging() {
    if (library_cat == nullptr) {
        GST_DEBUG_CATEGORY_INIT(library_cat, "zorvgst", 0, "zorvgst library (double buffers)");
    }
    logger->setLevel(level_for(gst_debug_category_get_threshold(library_cat)));
}

} // namespace zorvplugin
