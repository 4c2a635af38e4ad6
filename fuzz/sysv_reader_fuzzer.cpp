// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzzes a System V double-buffer reader on a segment whose size and header bytes another process
// chose: attaching, addresses, waiting, owner queries and expiry.
#include <cstdint>
#include <cstring>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <zorvgst/sysv_double_buffer.h>

#include "fuzz_support.h"
#include "reader_support.h"

namespace bip = boost::interprocess;
using sysv_double_buffer::sysv_double_buffer_t;

namespace {

std::string name() {
    return zorvfuzz::object_name("sysv");
}

std::string key_file() {
    return "/dev/shm/" + name();
}

void remove_segment() {
    const key_t key = ::ftok(key_file().c_str(), 59);
    if (key != -1) {
        const int id = ::shmget(key, 0, 0);
        if (id != -1) {
            ::shmctl(id, IPC_RMID, nullptr);
        }
    }
}

void remove_everything() {
    remove_segment();
    ::unlink(key_file().c_str());
    ::unlink(("/dev/shm/" + name() + "_cond").c_str());
    ::unlink(("/dev/shm/sem." + name() + "_cond_mutex").c_str());
}

bool plant_segment(std::size_t size, const std::uint8_t* bytes, std::size_t count) {
    remove_segment();
    const int fd = ::open(key_file().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    const key_t key = ::ftok(key_file().c_str(), 59);
    const int id = ::shmget(key, size, IPC_CREAT | IPC_EXCL | 0600);
    if (id == -1) {
        return false;
    }
    void* base = ::shmat(id, nullptr, 0);
    if (base == reinterpret_cast<void*>(-1)) {
        return false;
    }
    std::memcpy(base, bytes, count < size ? count : size);
    ::shmdt(base);
    return true;
}

void exercise(sysv_double_buffer_t& reader) {
    zorvfuzz::read_as_consumer(
        reader,
        [](sysv_double_buffer_t& handle) {
            handle.is_valid();
            handle.check_and_init_if_necessary();
        },
        boost::posix_time::microsec_clock::universal_time() - boost::posix_time::seconds(1));
}

} // namespace

void zorvfuzz::clean_up() {
    remove_everything();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A segment of at least one byte: System V makes no empty ones. The readers detach before the
    // owner query and expiry.
    if (!zorvfuzz::read_planted<sysv_double_buffer_t>({data, size}, 1, name(), plant_segment,
                                                      exercise, [] {})) {
        return 0;
    }
    sysv_double_buffer_t::get_double_buffer_owner(name());
    try {
        sysv_double_buffer_t::remove_double_buffer_if_owner_pid_expired(name().c_str());
    } catch (const bip::interprocess_exception&) {
        // Removal of a key file whose segment went meanwhile is reported this way.
    }
    return 0;
}
