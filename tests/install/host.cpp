// SPDX-License-Identifier: LGPL-2.1-or-later
// A host program built only from the installed prefix.
#include <iostream>
#include <string>

#include <log4cxx/basicconfigurator.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/frames.h>
#include <zorvgst/inventory.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/zorvgst.h>

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("host");

int main(int argc, char** argv) {
    log4cxx::BasicConfigurator::configure();
    zorvgstlib_init(argc, argv);
    std::cout << "zorvgst " << zorvgstlib_version() << " build " << zorvgstlib_build()
              << " 1080p buffer " << compute_size(1920, 1080) << " bytes" << std::endl;
    // The inventory is installed and exported: a name nobody uses is no buffer.
    const bool inventory_works =
        !zorvgst::find_buffer("zorvgst_install_check_unused_buffer") &&
        std::string(zorvgst::backend_name(zorvgst::backend::sysv)) == "sysv";
    // The frame API: one frame across a buffer of this process's own, removed afterwards.
    const std::string name = "zorvgst_install_check_" + std::to_string(getpid()) + "_buffer";
    bool frames_work = false;
    {
        zorvgst::frame_writer writer(name, 4, 2);
        const unsigned char pixels[4 * 2 * 4] = {7};
        writer.write(pixels, 4 * 4);
        zorvgst::frame_reader reader(name);
        unsigned char copy[sizeof(pixels)] = {};
        frames_work = reader.wait(std::chrono::seconds(2)) &&
                      reader.read(copy, 4 * 4, sizeof(copy)) && copy[0] == 7;
    }
    zorvgst::remove_buffer(name);
    return compute_size(1920, 1080) == 1920ull * 1080 * 8 + 40 && inventory_works && frames_work
               ? 0
               : 1;
}
