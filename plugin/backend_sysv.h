// The System V backend of the elements (see backend.h).
#pragma once

#include <memory>
#include <string>

#include "backend.h"

namespace zorvplugin {

bool sysv_backend_available();
std::unique_ptr<frame_writer_t> open_sysv_writer(const std::string& name, std::uint32_t width,
                                                 std::uint32_t height, std::string& error);
/// Null when the backend is not available.
std::unique_ptr<frame_reader_t> make_sysv_reader(const std::string& name);

} // namespace zorvplugin
