// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame API's writer: a moving gradient, drawn in place, 30 frames a second until Ctrl-C.
//
//   zorvgst-frames-writer [NAME [WIDTH HEIGHT]]
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <zorvgst/frames.h>

#include "tools/common/arguments.h"
#include "tools/common/interruption.h"
#include "tools/common/library_log.h"

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvgst");

int main(int argc, char** argv) {
    zorvgst_tools::log_warnings_to_console(logger);
    const std::string name = argc > 1 ? argv[1] : "frames_buffer";
    const auto width = zorvgst_tools::whole_number(argc > 3 ? argv[2] : "640", 1, 16384);
    const auto height = zorvgst_tools::whole_number(argc > 3 ? argv[3] : "360", 1, 16384);
    if (!width || !height) {
        std::fprintf(stderr, "usage: zorvgst-frames-writer [NAME [WIDTH HEIGHT]]\n");
        return 2;
    }
    zorvgst_tools::catch_interruptions();
    try {
        zorvgst::frame_writer writer(name, *width, *height);
        for (unsigned t = 0; !zorvgst_tools::interrupted(); ++t) {
            std::uint8_t* pixel = writer.frame(); // the slot readers will see next: draw in place
            for (long long y = 0; y < *height; ++y) {
                for (long long x = 0; x < *width; ++x, pixel += 4) {
                    pixel[0] = static_cast<std::uint8_t>(x + t); // blue
                    pixel[1] = static_cast<std::uint8_t>(y + t); // green
                    pixel[2] = 0x80;                             // red
                    pixel[3] = 0xFF;                             // alpha
                }
            }
            const zorvgst::frame_info published = writer.publish();
            if (published.number % 30 == 1) {
                std::printf("published frame %llu\n",
                            static_cast<unsigned long long>(published.number));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
    } catch (const zorvgst::error& e) {
        std::fprintf(stderr, "zorvgst-frames-writer: %s\n", e.what());
        return 1;
    }
}
