// SPDX-License-Identifier: LGPL-2.1-or-later
// A host of the frame API alone: no `logger`, no log4cxx, GStreamer or Boost of its own.
#include <chrono>
#include <cstdio>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include <zorvgst/frames.h>

int main() {
    const std::string name = "zorvtest_" + std::to_string(getpid()) + "_frames_only_host_buffer";
    bool copied = false;
    {
        zorvgst::frame_writer writer(name, 4, 2);
        unsigned char pixels[4 * 2 * 4] = {};
        pixels[0] = 7;
        pixels[sizeof(pixels) - 1] = 9;
        writer.write(pixels, 4 * 4);
        zorvgst::frame_reader reader(name);
        unsigned char copy[sizeof(pixels)] = {};
        copied = reader.wait(std::chrono::seconds(2)) && reader.read(copy, 4 * 4, sizeof(copy)) &&
                 copy[0] == 7 && copy[sizeof(copy) - 1] == 9;
    }
    // A POSIX buffer is one object in /dev/shm: gone with it.
    shm_unlink(("/" + name).c_str());
    std::printf("frame %s\n", copied ? "copied" : "lost");
    return copied ? 0 : 1;
}
