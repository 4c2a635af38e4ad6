// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame API's writer: a moving gradient, drawn in place, 30 frames a second until Ctrl-C.
//
//   zorvgst-frames-writer [NAME [WIDTH HEIGHT]]
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <zorvgst/frames.h>

#include "example_basics.h"

int main(int argc, char** argv) {
    example_host::show_library_warnings();
    const std::string name = argc > 1 ? argv[1] : "frames_buffer";
    const auto width = example_host::whole_number(argc > 3 ? argv[2] : "640", 1, 16384);
    const auto height = example_host::whole_number(argc > 3 ? argv[3] : "360", 1, 16384);
    if (!width || !height) {
        std::fprintf(stderr, "usage: zorvgst-frames-writer [NAME [WIDTH HEIGHT]]\n");
        return 2;
    }
    example_host::catch_interruptions();
    try {
        zorvgst::frame_writer writer(name, *width, *height);
        for (unsigned t = 0; !example_host::interrupted; ++t) {
            std::uint8_t* pixel = writer.frame(); // the slot readers will see next: draw in place
            for (unsigned y = 0; y < *height; ++y) {
                for (unsigned x = 0; x < *width; ++x, pixel += 4) {
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
