// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzzes a POSIX double-buffer reader on an object whose size and header bytes another process
// chose: opening, addresses, waiting, owner queries and rendering out of it.
#include <cstdint>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/interprocess/exceptions.hpp>

#include <zorvgst/double_buffer.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/render.h>

#include "fuzz_support.h"
#include "posix_object.h"
#include "reader_support.h"

namespace bip = boost::interprocess;

namespace {

std::string name() {
    return zorvfuzz::object_name("posix");
}

bool plant_object(std::size_t size, const std::uint8_t* bytes, std::size_t count) {
    return zorvfuzz::plant_posix_object(name(), size, bytes, count);
}

void exercise(posix_double_buffer_t& reader) {
    reader.is_valid();
    // The POSIX wait compares its deadline with local time.
    zorvfuzz::read_as_consumer(
        reader, [](posix_double_buffer_t&) {},
        boost::posix_time::microsec_clock::local_time() - boost::posix_time::seconds(1));
}

// With both readers still open: owner and type queries, rendering out of the object, expiry.
void query_and_render() {
    posix_double_buffer_t::get_double_buffer_owner(name());
    try {
        get_buffer_type(name());
    } catch (const bip::interprocess_exception&) {
    }

    // Rendering out of it into memory that holds the whole rectangle.
    double_buffer_t facade(name().c_str(), bip::read_only);
    if (facade.is_valid()) {
        const uint width = static_cast<uint>(facade.get_width());
        const uint height = static_cast<uint>(facade.get_height());
        if (std::uint64_t{width} * height <= (1u << 20)) {
            std::vector<guint8> frame(std::size_t{width} * height * 4);
            render(facade, frame.data(), width, height, 0, 0, width);
            render_with_cropping(facade, frame.data(), width, height, 0, 0, width, 1, 1, 1, 1);
        }
    }
    // The owner field is the input's: it names a live process or none at all here, or a process
    // that has gone, in which case the object is removed as it should be.
    posix_double_buffer_t::remove_double_buffer_if_owner_pid_expired(name().c_str());
    zorvfuzz::remove_posix_object(name());
}

} // namespace

void zorvfuzz::clean_up() {
    zorvfuzz::remove_posix_object(name());
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zorvfuzz::read_planted<posix_double_buffer_t>({data, size}, 0, name(), plant_object, exercise,
                                                  query_and_render);
    return 0;
}
