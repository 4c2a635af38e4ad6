// Raw shared-memory access for tests.
#include "support/raw_shm.h"
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvtest {

std::vector<unsigned char> read_file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>());
}

bool create_raw_object(const std::string& name, const std::vector<unsigned char>& bytes) {
    shm_unlink(("/" + name).c_str());
    const int fd = shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0660);
    if (fd < 0) {
        return false;
    }
    bool ok = ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
    if (ok && !bytes.empty()) {
        ok = pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
    }
    close(fd);
    return ok;
}

bool write_raw_bytes(const std::string& name, std::size_t offset, const void* data,
                     std::size_t size) {
    const int fd = shm_open(("/" + name).c_str(), O_RDWR, 0);
    if (fd < 0) {
        return false;
    }
    const bool ok =
        pwrite(fd, data, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
    close(fd);
    return ok;
}

bool object_exists(const std::string& name) {
    struct stat info {};
    return stat(("/dev/shm/" + name).c_str(), &info) == 0;
}

} // namespace zorvtest
