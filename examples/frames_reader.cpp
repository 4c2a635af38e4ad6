// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame API's reader: waits for a writer, then copies every new frame until Ctrl-C. It
// follows the writer through restarts and size changes by itself.
//
//   zorvgst-frames-reader [NAME]
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <zorvgst/frames.h>

#include "example_basics.h"

int main(int argc, char** argv) {
    example_host::show_library_warnings();
    example_host::catch_interruptions();
    zorvgst::frame_reader reader(argc > 1 ? argv[1] : "frames_buffer");
    std::vector<std::uint8_t> pixels;
    while (!example_host::interrupted) {
        if (!reader.wait(std::chrono::seconds(1))) {
            std::printf("no new frame in %s\n", reader.name().c_str());
            continue;
        }
        // Sized to the frame by the reader, also when the writer grew its frames just now.
        if (const auto frame = reader.copy(pixels)) {
            std::printf("frame %llu: %ux%u, first pixel BGRA %u %u %u %u\n",
                        static_cast<unsigned long long>(frame->number), frame->width, frame->height,
                        pixels[0], pixels[1], pixels[2], pixels[3]);
        }
    }
}
