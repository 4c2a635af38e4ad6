// SPDX-License-Identifier: LGPL-2.1-or-later
// A frame ring mapped without the library.
#include "support/raw_ring.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvtest {

using namespace zorvgst::detail::ring;

RawRing::RawRing(const std::string& name) {
    const int fd = ::shm_open(("/" + name).c_str(), O_RDWR, 0);
    if (fd < 0) {
        return;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size >= static_cast<off_t>(sizeof(ring_header))) {
        void* address = ::mmap(nullptr, static_cast<std::size_t>(info.st_size),
                               PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (address != MAP_FAILED) {
            base_ = static_cast<unsigned char*>(address);
            size_ = static_cast<std::size_t>(info.st_size);
        }
    }
    ::close(fd);
}

RawRing::~RawRing() {
    if (base_ != nullptr) {
        ::munmap(base_, size_);
    }
}

ring_header& RawRing::header() const {
    return *reinterpret_cast<ring_header*>(base_);
}

slot_record& RawRing::record(std::uint32_t slot) const {
    return reinterpret_cast<slot_record*>(base_ + sizeof(ring_header))[slot];
}

std::uint64_t* RawRing::reader_entry(std::uint32_t index) const {
    const ring_header& ring = header();
    auto* table = reinterpret_cast<std::uint64_t*>(
        base_ + sizeof(ring_header) + std::size_t{ring.slot_count} * sizeof(slot_record));
    return table + std::size_t{index} * (1 + ring.leases_per_reader);
}

} // namespace zorvtest
