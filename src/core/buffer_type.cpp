// SPDX-License-Identifier: LGPL-2.1-or-later
// Probe of the type word at the start of a shared-memory object.
#include <cstdint>
#include <cstring>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>

#include <zorvgst/double_buffer.h>

#include "internal/log.h"

namespace bip = boost::interprocess;

// Hosts' log layouts match this function's printed signature, which spells the argument type
// "const string&"; the compiler prints it that way only through a global alias.
using string = std::string;

buffer_type_t get_buffer_type(const string& name) {
    bip::shared_memory_object object(bip::open_only, name.c_str(), bip::read_only);
    bip::offset_t size = 0;
    if (!object.get_size(size)) {
        size = 0;
    }
    if (size < static_cast<bip::offset_t>(sizeof(std::uint32_t))) {
        ZORV_LOG_ERROR("Invalid Buffer Size: " << size);
        return invalid_buffer_type;
    }
    const bip::mapped_region mapped(object, bip::read_only, 0, 0);
    if (mapped.get_size() < sizeof(std::uint32_t)) {
        // Shrunk between the size check and the mapping.
        ZORV_LOG_ERROR("Invalid Buffer Size: " << mapped.get_size());
        return invalid_buffer_type;
    }
    std::uint32_t type = 0;
    std::memcpy(&type, mapped.get_address(), sizeof(type));
    return static_cast<buffer_type_t>(type);
}
