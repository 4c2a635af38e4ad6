// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzzes a POSIX double-buffer reader on an object whose size and header bytes another process
// chose: opening, addresses, waiting, owner queries and rendering out of it.
#include <cstdint>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/render.h>

#include "fuzz_support.h"
#include "reader_support.h"

namespace bip = boost::interprocess;

namespace {

const std::string& name() {
    // Never destroyed: the exit handler that removes the object still needs it.
    static const std::string* const buffer_name = new std::string(zorvfuzz::object_name("posix"));
    return *buffer_name;
}

void remove_object() {
    ::shm_unlink(("/" + name()).c_str());
}

// The object as a hostile writer leaves it: `size` bytes starting with `bytes`.
bool plant_object(std::size_t size, const std::uint8_t* bytes, std::size_t count) {
    remove_object();
    const int fd = ::shm_open(("/" + name()).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd < 0) {
        return false;
    }
    bool planted = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    const std::size_t written = count < size ? count : size;
    if (planted && written > 0) {
        planted = ::pwrite(fd, bytes, written, 0) == static_cast<ssize_t>(written);
    }
    ::close(fd);
    return planted;
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
    remove_object();
}

} // namespace

void zorvfuzz::clean_up() {
    remove_object();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zorvfuzz::read_planted<posix_double_buffer_t>({data, size}, 0, name(), plant_object, exercise,
                                                  query_and_render);
    return 0;
}
