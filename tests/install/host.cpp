// A host program built only from the installed prefix.
#include <iostream>

#include <log4cxx/basicconfigurator.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/zorvgst.h>

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("host");

int main(int argc, char** argv) {
    log4cxx::BasicConfigurator::configure();
    zorvgstlib_init(argc, argv);
    std::cout << "zorvgst " << zorvgstlib_version() << " build " << zorvgstlib_build()
              << " 1080p buffer " << compute_size(1920, 1080) << " bytes" << std::endl;
    return compute_size(1920, 1080) == 1920ull * 1080 * 8 + 40 ? 0 : 1;
}
