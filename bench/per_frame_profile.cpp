// SPDX-License-Identifier: LGPL-2.1-or-later
// Runs each per-frame path a fixed number of times on small frames, for instruction counts under
// callgrind: the copies are tiny, so what is counted is the work around them.
//   valgrind --tool=callgrind --toggle-collect='zorv_profile_*' per_frame_profile [frames]
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <log4cxx/logger.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/library.h>
#include <zorvgst/render.h>
#include <zorvgst/sysv_double_buffer.h>

#include "frame_sample.h"

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("zorvprofile");

namespace ipc = boost::interprocess;

namespace {

constexpr unsigned width = 16;
constexpr unsigned height = 16;
constexpr std::size_t frame_bytes = std::size_t{width} * height * 4;

} // namespace

// Each path in a function of its own, kept out of line so callgrind can collect it alone.
extern "C" __attribute__((noinline)) void
zorv_profile_sample_to_double_buffer(GstSample* sample, double_buffer_t& writer, int frames) {
    for (int i = 0; i < frames; ++i) {
        render(sample, writer, 0, 0, width);
    }
}

extern "C" __attribute__((noinline)) void
zorv_profile_double_buffer_to_gst_buffer(double_buffer_t& reader, GstBuffer* out, int frames) {
    for (int i = 0; i < frames; ++i) {
        render(reader, out, width, height, 0, 0, width);
    }
}

extern "C" __attribute__((noinline)) void
zorv_profile_sysv_publish(sysv_double_buffer::sysv_double_buffer_t& writer, int frames) {
    for (int i = 0; i < frames; ++i) {
        writer.grab_write_sem();
        writer.release_write_sem();
    }
}

// A deadline already past: one look at the publication time (POSIX) or one timed wait (SysV).
extern "C" __attribute__((noinline)) void
zorv_profile_wait_for_write(double_buffer_t& posix_reader,
                            sysv_double_buffer::sysv_double_buffer_t& sysv_reader, int frames) {
    const auto past = boost::posix_time::microsec_clock::local_time() - boost::posix_time::hours(1);
    for (int i = 0; i < frames; ++i) {
        posix_reader.wait_for_write(past);
        sysv_reader.wait_for_write(past);
    }
}

int main(int argc, char** argv) {
    // Production setting: every debug and trace statement is disabled.
    logger->setLevel(log4cxx::Level::getWarn());
    zorvgstlib_init(argc, argv);
    const int frames = argc > 1 ? std::atoi(argv[1]) : 1000;
    const std::string name = "zorvprofile_" + std::to_string(getpid()) + "_buffer";

    double_buffer_t writer(name.c_str(), ipc::read_write, width, height);
    double_buffer_t reader(name.c_str(), ipc::read_only);
    sysv_double_buffer::sysv_double_buffer_t sysv_writer(name.c_str(), ipc::read_write, width,
                                                         height);
    sysv_double_buffer::sysv_double_buffer_t sysv_reader(name.c_str(), ipc::read_only);
    int status = 0;
    if (writer.is_valid() && reader.is_valid() && sysv_writer.is_valid() &&
        sysv_reader.is_valid()) {
        const std::vector<guint8> pixels(frame_bytes, 0x42);
        const zorvbench::frame_sample in(pixels, width, height);
        GstBuffer* out = gst_buffer_new_allocate(nullptr, frame_bytes, nullptr);

        zorv_profile_sample_to_double_buffer(in.sample(), writer, frames);
        zorv_profile_double_buffer_to_gst_buffer(reader, out, frames);
        zorv_profile_sysv_publish(sysv_writer, frames);
        zorv_profile_wait_for_write(reader, sysv_reader, frames);
        status = gst_buffer_memcmp(out, 0, pixels.data(), frame_bytes) == 0 ? 0 : 1;

        gst_buffer_unref(out);
    } else {
        status = 2;
    }
    double_buffer_t::remove(name.c_str());
    sysv_double_buffer::sysv_double_buffer_t::remove(name.c_str());
    return status;
}
