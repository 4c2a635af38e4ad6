// SPDX-License-Identifier: LGPL-2.1-or-later
// Raw shared-memory access for tests.
#include "support/raw_shm.h"
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvtest {
namespace {

// Project id the System V backend derives its keys with.
constexpr int sysv_key_project_id = 59;

} // namespace

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

int segment_id(const std::string& name) {
    const key_t key = ftok(("/dev/shm/" + name).c_str(), sysv_key_project_id);
    return key == -1 ? -1 : shmget(key, 0, 0);
}

bool write_raw_segment_bytes(const std::string& name, std::size_t offset, const void* data,
                             std::size_t size) {
    const int id = segment_id(name);
    shmid_ds info{};
    if (id < 0 || shmctl(id, IPC_STAT, &info) != 0 || offset + size > info.shm_segsz) {
        return false;
    }
    void* base = shmat(id, nullptr, 0);
    if (base == reinterpret_cast<void*>(-1)) {
        return false;
    }
    std::memcpy(static_cast<unsigned char*>(base) + offset, data, size);
    shmdt(base);
    return true;
}

std::size_t header_offset(zorvgst::backend kind, header_field field) {
    switch (field) {
    case header_field::indicator:
        return kind == zorvgst::backend::sysv ? 0 : 4;
    case header_field::width:
        return 16;
    case header_field::height:
        return 20;
    }
    return 0;
}

bool poke_header(zorvgst::backend kind, const std::string& name, header_field field,
                 std::uint32_t value) {
    const std::size_t offset = header_offset(kind, field);
    return kind == zorvgst::backend::sysv
               ? write_raw_segment_bytes(name, offset, &value, sizeof(value))
               : write_raw_bytes(name, offset, &value, sizeof(value));
}

} // namespace zorvtest
