// The System V backend of the elements; this build of the library does not offer it yet.
#include "backend_sysv.h"

namespace zorvplugin {

bool sysv_backend_available() {
    return false;
}

std::unique_ptr<frame_writer_t> open_sysv_writer(const std::string&, std::uint32_t, std::uint32_t,
                                                 std::string& error) {
    error = "backend not available";
    return nullptr;
}

std::unique_ptr<frame_reader_t> make_sysv_reader(const std::string&) {
    return nullptr;
}

} // namespace zorvplugin
