// SPDX-License-Identifier: LGPL-2.1-or-later
// Fuzzes discovery: listings of a directory of fuzzer-named entries, and owner queries, expiry and
// removal of fuzzer-named buffers (always under this process's prefix, so only its own objects).
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <boost/interprocess/exceptions.hpp>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/sysv_double_buffer.h>

#include "fuzz_support.h"

namespace bip = boost::interprocess;
using sysv_double_buffer::sysv_double_buffer_t;

namespace {

// A directory of this process's own, made at first use. Never destroyed: the exit handler that
// removes it still needs its name.
const std::string& scratch() {
    static const std::string* const directory = [] {
        char pattern[] = "/tmp/zorvfuzz_discovery_XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::abort();
        }
        return new std::string(pattern);
    }();
    return *directory;
}

void empty_directory(const std::string& directory) {
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string entry_name = entry->d_name;
            if (entry_name != "." && entry_name != "..") {
                const std::string path = directory + "/" + entry_name;
                if (::unlink(path.c_str()) != 0) {
                    ::rmdir(path.c_str());
                }
            }
        }
        ::closedir(dir);
    }
}

// Names of this process's objects in /dev/shm: the fuzzer chooses only what follows the prefix.
std::string prefixed(const std::string& suffix) {
    return "zorvfuzz_" + std::to_string(::getpid()) + "_" + suffix;
}

void remove_shm_objects(const std::string& buffer_name) {
    if (buffer_name.find('/') != std::string::npos) {
        return;
    }
    ::shm_unlink(("/" + buffer_name).c_str());
    ::unlink(("/dev/shm/" + buffer_name + "_cond").c_str());
    ::unlink(("/dev/shm/sem." + buffer_name + "_cond_mutex").c_str());
}

} // namespace

void zorvfuzz::clean_up() {
    empty_directory(scratch());
    ::rmdir(scratch().c_str());
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Entries are separated by '/', which no entry name can hold; the first byte of each picks
    // what it becomes.
    std::vector<std::string> chunks(1);
    for (std::size_t i = 0; i < size && chunks.size() <= 64; ++i) {
        if (data[i] == '/') {
            chunks.emplace_back();
        } else {
            chunks.back().push_back(static_cast<char>(data[i]));
        }
    }
    empty_directory(scratch());
    std::set<std::string> created;
    for (const std::string& chunk : chunks) {
        // File names hold no NUL: such an entry would be made under a shorter name.
        if (chunk.size() < 2 || chunk.find('\0') != std::string::npos) {
            continue;
        }
        const std::string entry_name = chunk.substr(1);
        const std::string path = scratch() + "/" + entry_name;
        bool made = false;
        switch (static_cast<unsigned char>(chunk[0]) % 3) {
        case 0: {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            made = fd >= 0;
            if (made) {
                ::close(fd);
            }
            break;
        }
        case 1:
            made = ::mkdir(path.c_str(), 0700) == 0;
            break;
        default:
            made = ::symlink("/nonexistent/target", path.c_str()) == 0;
            break;
        }
        if (made) {
            created.insert(entry_name);
        }
    }

    // Every name listed must be an entry made above, ending in "_buffer".
    const auto check = [&](const std::vector<std::string>& names) {
        for (const std::string& listed : names) {
            if (created.count(listed) == 0 || listed.size() < 7 ||
                listed.compare(listed.size() - 7, 7, "_buffer") != 0) {
                std::abort();
            }
        }
    };
    check(posix_double_buffer_t::get_double_buffer_names(scratch()));
    check(sysv_double_buffer_t::get_double_buffer_names(scratch()));
    check(get_double_buffer_names(scratch()));
    // The same path reached through fuzzer-named components.
    check(posix_double_buffer_t::get_double_buffer_names(scratch() + "/" + chunks.front()));

    // Owner queries, expiry and removal on buffers named by the input.
    int queried = 0;
    for (const std::string& chunk : chunks) {
        if (chunk.empty() || ++queried > 4) {
            continue;
        }
        // As the library sees it: a C string ends at the first NUL.
        const std::string buffer_name = prefixed(chunk).c_str();
        if (buffer_name.find('/') == std::string::npos && chunk.size() > 8) {
            // A small object holding the input as its header.
            const int fd =
                ::shm_open(("/" + buffer_name).c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
            if (fd >= 0) {
                (void)!::write(fd, chunk.data(), chunk.size());
                ::close(fd);
            }
        }
        posix_double_buffer_t::get_double_buffer_owner(buffer_name);
        sysv_double_buffer_t::get_double_buffer_owner(buffer_name);
        get_double_buffer_owner(buffer_name);
        posix_double_buffer_t::remove_double_buffer_if_owner_pid_expired(buffer_name.c_str());
        try {
            sysv_double_buffer_t::remove_double_buffer_if_owner_pid_expired(buffer_name.c_str());
            sysv_double_buffer_t::remove(buffer_name.c_str());
        } catch (const bip::interprocess_exception&) {
        }
        posix_double_buffer_t::remove(buffer_name.c_str());
        remove_shm_objects(buffer_name);
    }
    return 0;
}
