// SPDX-License-Identifier: LGPL-2.1-or-later
// A host with no `logger` that takes the library's lines through a log handler of its own.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include <zorvgst/frames.h>
#include <zorvgst/log_handler.h>

namespace {

struct received_line {
    zorvgst::log_level level;
    std::string unit;
    std::string message;
};

std::vector<received_line> received;

void write_and_read(const std::string& name) {
    zorvgst::frame_writer writer(name, 4, 2);
    const unsigned char pixels[4 * 2 * 4] = {7};
    writer.write(pixels, 4 * 4);
    zorvgst::frame_reader reader(name);
    unsigned char copy[sizeof(pixels)] = {};
    if (!reader.wait(std::chrono::seconds(2)) || !reader.read(copy, 4 * 4, sizeof(copy))) {
        std::printf("frame lost\n");
    }
}

} // namespace

int main() {
    const std::string name = "zorvtest_" + std::to_string(getpid()) + "_handler_host_buffer";
    zorvgst::set_log_handler(
        [](zorvgst::log_level level, std::string_view unit, std::string_view message) {
            received.push_back({level, std::string(unit), std::string(message)});
        },
        zorvgst::log_level::debug);
    write_and_read(name);
    shm_unlink(("/" + name).c_str());
    const std::size_t while_set = received.size();
    bool posix_debug_line = false;
    for (const received_line& line : received) {
        std::printf("%d %s %s\n", static_cast<int>(line.level), line.unit.c_str(),
                    line.message.c_str());
        // The POSIX handle reports each buffer it creates.
        posix_debug_line = posix_debug_line || (line.level == zorvgst::log_level::debug &&
                                                line.unit == "posix_double_buffer" &&
                                                line.message.find(name) != std::string::npos);
        if (line.level < zorvgst::log_level::debug) {
            std::printf("a line below the threshold arrived\n");
            return 1;
        }
    }
    // Removed, the handler hears nothing more: the lines go to the library's default logger.
    zorvgst::set_log_handler(nullptr);
    write_and_read(name);
    shm_unlink(("/" + name).c_str());
    const bool quiet_after_removal = received.size() == while_set;
    std::printf("%zu lines while set, %s after removal\n", while_set,
                quiet_after_removal ? "none" : "some");
    return posix_debug_line && quiet_after_removal ? 0 : 1;
}
