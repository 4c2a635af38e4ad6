// SPDX-License-Identifier: LGPL-2.1-or-later
// A paced frame writer, and a reader timing only its read() calls (bench/python_read.py).
//
//   read_rate_probe writer <name> <width> <height> <fps> <seconds>
//   read_rate_probe reader <name> <warmup s> <measure s>
//
// The writer fills every byte of each frame with a value that changes per frame and publishes it,
// until SIGTERM or the end of its time. The reader waits for each frame outside the clock, then
// times the read() that copies it out, so its rate is the copy's own, not the writer's. Each prints
// one JSON line on stdout.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include <log4cxx/logger.h>

#include <zorvgst/frames.h>

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvreadrate");

namespace {

using steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

volatile std::sig_atomic_t stop_requested = 0;

steady::duration seconds(double value) {
    return std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(value));
}

bool parse(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= 0;
}

int write_frames(const std::string& name, double width, double height, double fps,
                 double duration) {
    zorvgst::frame_writer writer(name, static_cast<unsigned>(width), static_cast<unsigned>(height));
    const std::size_t bytes = std::size_t{writer.width()} * writer.height() * 4;
    const steady::time_point start = steady::now(), end = start + seconds(duration);
    const steady::duration period = seconds(1.0 / fps);
    std::uint64_t frames = 0;
    // Each frame is due at start + n * period; one that is late goes out at once, without a burst
    // to catch up, so readers see the rate asked for or less, never more.
    for (steady::time_point due = start; stop_requested == 0 && due < end; due += period) {
        std::this_thread::sleep_until(due);
        std::memset(writer.frame(), static_cast<int>(frames % 255 + 1), bytes);
        writer.publish();
        ++frames;
        if (steady::now() > due + period) {
            due = steady::now() - period;
        }
    }
    std::printf("{\"role\": \"writer\", \"frames\": %llu, \"seconds\": %.3f}\n",
                static_cast<unsigned long long>(frames),
                std::chrono::duration<double>(steady::now() - start).count());
    return 0;
}

int read_frames(const std::string& name, double warmup, double measure) {
    zorvgst::frame_reader reader(name);
    std::vector<std::uint8_t> pixels;
    const steady::time_point measure_start = steady::now() + seconds(warmup),
                             measure_end = measure_start + seconds(measure);
    std::uint64_t frames = 0, missed = 0;
    steady::duration copying{};
    unsigned width = 0, height = 0;
    while (stop_requested == 0 && steady::now() < measure_end) {
        if (!reader.wait(100ms)) {
            continue;
        }
        // Sized to the newest frame outside the clock, as a host would allocate once.
        if (const auto newest = reader.newest();
            newest && (newest->width != width || newest->height != height)) {
            width = newest->width;
            height = newest->height;
            pixels.resize(std::size_t{width} * height * 4);
        }
        const steady::time_point before = steady::now();
        const auto frame = reader.read(pixels.data(), std::size_t{width} * 4, pixels.size());
        const steady::time_point after = steady::now();
        if (before < measure_start) {
            continue;
        }
        copying += after - before;
        ++(frame ? frames : missed);
    }
    const double spent = std::chrono::duration<double>(copying).count();
    std::printf(
        "{\"role\": \"reader\", \"frames\": %llu, \"missed\": %llu, \"copy_seconds\": %.6f, "
        "\"fps\": %.1f, \"width\": %u, \"height\": %u}\n",
        static_cast<unsigned long long>(frames), static_cast<unsigned long long>(missed), spent,
        spent > 0 ? static_cast<double>(frames) / spent : 0.0, width, height);
    return frames > 0 ? 0 : 1;
}

int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s writer <name> <width> <height> <fps> <seconds>\n"
                 "       %s reader <name> <warmup s> <measure s>\n",
                 program, program);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    logger->setLevel(log4cxx::Level::getOff());
    std::signal(SIGTERM, [](int) { stop_requested = 1; });
    const std::string role = argc > 1 ? argv[1] : "";
    double values[4] = {};
    const int numbers = argc - 3;
    if (!((role == "writer" && numbers == 4) || (role == "reader" && numbers == 2))) {
        return usage(argv[0]);
    }
    for (int i = 0; i < numbers; ++i) {
        if (!parse(argv[i + 3], values[i])) {
            return usage(argv[0]);
        }
    }
    try {
        return role == "writer" ? write_frames(argv[2], values[0], values[1], values[2], values[3])
                                : read_frames(argv[2], values[0], values[1]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
