// SPDX-License-Identifier: LGPL-2.1-or-later
// A host that defines no `logger` yet configures the one the library provides through it.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/spi/loggingevent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <zorvgst/frames.h>
#include <zorvgst/library.h>

namespace {

class counting_appender : public log4cxx::AppenderSkeleton {
public:
    void close() override {}
    bool requiresLayout() const override { return false; }
    std::atomic<int> posix_lines{0};

protected:
    void append(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool&) override {
        const char* unit = event->getLocationInformation().getFileName();
        if (unit != nullptr && std::string(unit) == "posix_double_buffer") {
            ++posix_lines;
        }
    }
};

} // namespace

int main() {
    // The executable refers to `logger` without defining it: the library's default, copied here
    // by the dynamic linker, must be as usable as a host's own.
    if (!logger || logger->getName() != "zorvgst") {
        std::printf("no default logger\n");
        return 1;
    }
    const auto appender = std::make_shared<counting_appender>();
    logger->addAppender(appender);
    logger->setAdditivity(false);
    logger->setLevel(log4cxx::Level::getDebug());
    const std::string name = "zorvtest_" + std::to_string(getpid()) + "_default_logger_buffer";
    {
        zorvgst::frame_writer writer(name, 4, 2);
        const unsigned char pixels[4 * 2 * 4] = {7};
        writer.write(pixels, 4 * 4);
    }
    shm_unlink(("/" + name).c_str());
    std::printf("%d posix_double_buffer lines\n", appender->posix_lines.load());
    return appender->posix_lines > 0 ? 0 : 1;
}
