// SPDX-License-Identifier: LGPL-2.1-or-later
// Making a frame ring, attaching to one, and the checks that make a header from another process
// safe to use.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zorvgst/frames.h>

#include "internal/fault_guard.h"
#include "internal/frame_count_wake.h"
#include "internal/header_time.h"
#include "internal/inventory/shm_entry.h"
#include "internal/log.h"
#include "internal/ring/process_identity.h"
#include "internal/ring/ring_attachment.h"
#include "internal/shm_access.h"
#include "internal/shm_reservation.h"

namespace zorvgst::detail {

namespace {

using namespace ring;

std::string object_name(const std::string& name) {
    return "/" + name;
}

/// The regular file /dev/shm/`name`.
std::optional<struct stat> stat_entry(const std::string& name) {
    const std::optional<struct stat> entry = shm_entry_status(name);
    if (!entry || !S_ISREG(entry->st_mode)) {
        return std::nullopt;
    }
    return entry;
}

template <std::size_t N> std::string terminated_text(const char (&field)[N]) {
    const void* end = std::memchr(field, '\0', N);
    return end == nullptr ? std::string() : std::string(field);
}

/// The format a header describes, if it is one: every plane inside the frame, the frame inside
/// its slot, and a format GStreamer knows at that size.
std::optional<frame_format> described_format(const ring_header& header) {
    frame_format format;
    format.name = terminated_text(header.format);
    format.width = header.width;
    format.height = header.height;
    format.planes = header.plane_count;
    format.size = header.frame_bytes;
    if (format.name.empty() || format.planes == 0 || format.planes > max_frame_planes) {
        return std::nullopt;
    }
    for (unsigned i = 0; i < format.planes; ++i) {
        format.plane[i].offset = header.planes[i].offset;
        format.plane[i].stride = header.planes[i].stride;
    }
    if (!format.consistent()) {
        return std::nullopt;
    }
    return format;
}

/// Whether `header` describes a ring of exactly `object_bytes`, caps included.
bool valid_header(const ring_header& header, std::uint64_t object_bytes, ring_geometry& geometry) {
    return header_matches_object(header, object_bytes, geometry) &&
           !terminated_text(header.caps).empty();
}

void copy_text(char* field, std::size_t capacity, const std::string& text) {
    std::memset(field, 0, capacity);
    std::memcpy(field, text.data(), std::min(text.size(), capacity - 1));
}

} // namespace

std::uint32_t ring_attachment::slots_for(const ring_options& options) {
    return options.readers * options.leases_per_reader + 2;
}

bool ring_attachment::map(int fd, bool writer, bool header_writable) {
    writer_ = writer;
    header_writable_ = header_writable;
    header_map_bytes_ = geometry_.header_bytes;
    slot_map_bytes_ = geometry_.total_bytes - geometry_.header_bytes;
    void* header = ::mmap(nullptr, header_map_bytes_,
                          header_writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    if (header == MAP_FAILED) {
        return false;
    }
    header_map_ = static_cast<std::uint8_t*>(header);
    // Readers see the pixels read-only: no reader can scribble over a frame others read.
    void* slots = ::mmap(nullptr, slot_map_bytes_, writer ? PROT_READ | PROT_WRITE : PROT_READ,
                         MAP_SHARED, fd, static_cast<off_t>(geometry_.header_bytes));
    if (slots == MAP_FAILED) {
        return false;
    }
    slot_map_ = static_cast<std::uint8_t*>(slots);
    return true;
}

void ring_attachment::identify(const std::string& name, const struct stat& object,
                               const frame_format& format, const std::string& caps) {
    name_ = name;
    device_ = object.st_dev;
    inode_ = object.st_ino;
    format_ = format;
    caps_ = caps;
}

ring_attachment::~ring_attachment() {
    if (header_map_ != nullptr && !writer_) {
        release_reader_entry();
    }
    if (header_map_ != nullptr) {
        ::munmap(header_map_, header_map_bytes_);
    }
    if (slot_map_ != nullptr) {
        ::munmap(slot_map_, slot_map_bytes_);
    }
}

bool ring_attachment::is_ring(const std::string& name) {
    const int fd = ::shm_open(object_name(name).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    std::uint32_t type = 0;
    const bool read = ::pread(fd, &type, sizeof(type), 0) == static_cast<ssize_t>(sizeof(type));
    ::close(fd);
    return read && type == ring_buffer_type;
}

std::shared_ptr<ring_attachment> ring_attachment::open_reader(const std::string& name) {
    const std::optional<struct stat> before = stat_entry(name);
    if (!before || before->st_size < static_cast<off_t>(sizeof(ring_header))) {
        return nullptr;
    }
    // Leases are words in the header: a reader that may not write it copies every frame.
    bool writable = true;
    int fd = ::shm_open(object_name(name).c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0 && errno == EACCES) {
        writable = false;
        fd = ::shm_open(object_name(name).c_str(), O_RDONLY | O_CLOEXEC, 0);
    }
    if (fd < 0) {
        return nullptr;
    }
    std::shared_ptr<ring_attachment> attachment(new ring_attachment());
    struct stat info {};
    ring_header header{};
    const bool ready =
        ::fstat(fd, &info) == 0 && info.st_ino == before->st_ino && info.st_dev == before->st_dev &&
        ::pread(fd, &header, sizeof(header), 0) == static_cast<ssize_t>(sizeof(header)) &&
        header.width != 0 &&
        valid_header(header, static_cast<std::uint64_t>(info.st_size), attachment->geometry_);
    std::optional<frame_format> format;
    if (ready) {
        format = described_format(header);
    }
    if (!format || !attachment->map(fd, false, writable)) {
        ::close(fd);
        return nullptr;
    }
    ::close(fd);
    attachment->identify(name, info, *format, terminated_text(header.caps));
    attachment->layout_ = header;
    attachment->entry_unavailable_ = !writable || header.reader_count == 0;
    return attachment;
}

std::unique_ptr<ring_attachment> ring_attachment::create(const std::string& name,
                                                         const frame_format& format,
                                                         const ring_options& options,
                                                         write_failure& failure) {
    std::unique_ptr<ring_attachment> attachment(new ring_attachment());
    const std::uint32_t slots = slots_for(options);
    if (options.readers > max_readers || options.leases_per_reader > max_leases_per_reader ||
        slots > max_slots ||
        !compute_geometry(slots, options.readers, options.leases_per_reader, format.size,
                          options.metadata_bytes, attachment->geometry_)) {
        failure.code = error_code::invalid_argument;
        failure.text = "a ring of " + std::to_string(options.readers) + " readers with " +
                       std::to_string(options.leases_per_reader) + " leases each and " +
                       std::to_string(options.metadata_bytes) +
                       " bytes of metadata cannot be made (" + std::to_string(max_readers) +
                       " readers, " + std::to_string(max_leases_per_reader) + " leases and " +
                       std::to_string(max_metadata_bytes) + " bytes at most)";
        return nullptr;
    }
    const std::string caps = format.caps();
    if (caps.size() >= caps_bytes || format.name.size() >= format_name_bytes) {
        failure.code = error_code::invalid_format;
        failure.text = "the caps of " + format.name + " frames do not fit the ring's header";
        return nullptr;
    }
    // Readers keep the old object mapped until they notice it was replaced.
    retire_posix_buffer(name);
    ::shm_unlink(object_name(name).c_str());
    const int fd =
        ::shm_open(object_name(name).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
    if (fd < 0) {
        failure = system_failure(errno, std::strerror(errno));
        return nullptr;
    }
    ::fchmod(fd, 0660);
    const std::uint64_t total = attachment->geometry_.total_bytes;
    const int reserved = reserve_shm_bytes(fd, total);
    if (reserved != 0) {
        ::close(fd);
        ::shm_unlink(object_name(name).c_str());
        failure = system_failure(reserved, std::strerror(reserved));
        if (reserved == ENOSPC) {
            failure.text =
                "not enough shared memory: " + shm_shortage_text(total, shm_free_bytes());
        }
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !attachment->map(fd, true, true)) {
        failure = system_failure(errno, std::strerror(errno));
        ::close(fd);
        ::shm_unlink(object_name(name).c_str());
        return nullptr;
    }
    ::close(fd);
    attachment->identify(name, info, format, caps);

    ring_header header{};
    header.buffer_type = ring_buffer_type;
    header.newest_slot = no_slot;
    header.last_write_time = boost::posix_time::ptime();
    header.width = format.width;
    header.height = format.height;
    header.owner_pid = ::getpid();
    header.version = ring_layout_version;
    header.frame_count = 0;
    header.magic = ring_magic;
    header.header_bytes = static_cast<std::uint32_t>(attachment->geometry_.header_bytes);
    header.slot_bytes = attachment->geometry_.slot_bytes;
    header.total_bytes = total;
    header.slot_count = slots;
    header.reader_count = options.readers;
    header.leases_per_reader = options.leases_per_reader;
    header.plane_count = format.planes;
    header.frame_bytes = format.size;
    header.metadata_offset = attachment->geometry_.metadata_offset;
    header.metadata_capacity = options.metadata_bytes;
    header.owner_start_time = own_start_time();
    for (unsigned i = 0; i < format.planes; ++i) {
        header.planes[i].offset = format.plane[i].offset;
        header.planes[i].stride = format.plane[i].stride;
    }
    copy_text(header.format, format_name_bytes, format.name);
    copy_text(header.caps, caps_bytes, caps);
    // The object is new and zero: slot records and reader table start empty. The header goes in
    // whole before anyone can have read it (nobody maps a ring before it has its size).
    std::memcpy(attachment->header_map_, &header, sizeof(header));
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    attachment->layout_ = header;
    return attachment;
}

bool ring_attachment::usable() {
    // A retired ring says so in its header; a ring removed or made anew is found by replaced().
    const auto* header = reinterpret_cast<const ring_header*>(header_map_);
    return load_acquire(header->width) != 0;
}

bool ring_attachment::replaced() const {
    const auto now = stat_entry(name_);
    const auto* header = reinterpret_cast<const ring_header*>(header_map_);
    return !now || now->st_dev != device_ || now->st_ino != inode_ ||
           load_acquire(header->width) == 0;
}

std::uint64_t ring_attachment::frame_count() const {
    return load_acquire(reinterpret_cast<const ring_header*>(header_map_)->frame_count);
}

boost::posix_time::ptime ring_attachment::last_write_time() const {
    return load_acquire(reinterpret_cast<const ring_header*>(header_map_)->last_write_time);
}

const std::uint32_t* ring_attachment::wake_word() const {
    return frame_count_word(reinterpret_cast<const ring_header*>(header_map_));
}

ring::slot_record& ring_attachment::record(std::uint32_t slot) const {
    return reinterpret_cast<slot_record*>(header_map_ + geometry_.slot_table)[slot];
}

std::uint64_t* ring_attachment::reader_entry(std::uint32_t index) const {
    return reinterpret_cast<std::uint64_t*>(header_map_ + geometry_.reader_table) +
           std::size_t{index} * (1 + layout_.leases_per_reader);
}

const std::uint8_t* ring_attachment::slot_data(std::uint32_t slot) const {
    return slot_map_ + std::uint64_t{slot} * geometry_.slot_bytes;
}

const std::uint8_t* ring_attachment::slot_metadata(std::uint32_t slot) const {
    return slot_data(slot) + geometry_.metadata_offset;
}

} // namespace zorvgst::detail
