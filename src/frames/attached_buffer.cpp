// SPDX-License-Identifier: LGPL-2.1-or-later
// Attachments to POSIX and System V buffers for the frame layer, on the library's handle classes.
#include "internal/frames/attached_buffer.h"
#include <cerrno>
#include <stdexcept>

#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zorvgst/frames.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/sysv_double_buffer.h>

#include "internal/buffer_geometry.h"
#include "internal/fault_guard.h"
#include "internal/frame_count_wake.h"
#include "internal/inventory/shm_entry.h"
#include "internal/inventory/sysv_key_file.h"
#include "internal/log.h"
#include "internal/ring/ring_attachment.h"
#include "internal/shm_access.h"
#include "internal/shm_reservation.h"

namespace zorvgst::detail {
namespace {

namespace bip = boost::interprocess;
using sysv_double_buffer::sysv_double_buffer_header_t;
using sysv_double_buffer::sysv_double_buffer_t;

/// The regular file /dev/shm/`name`: links planted in the shared directory are no buffers.
std::optional<struct stat> stat_entry(const std::string& name) {
    const std::optional<struct stat> entry = shm_entry_status(name);
    if (!entry || !S_ISREG(entry->st_mode)) {
        return std::nullopt;
    }
    return entry;
}

bool dimensions_in_range(std::uint64_t width, std::uint64_t height) {
    return width != 0 && height != 0 && width <= max_frame_dimension &&
           height <= max_frame_dimension;
}

/// The segment id the key file of `name` leads to now, or -1.
int current_shmid(const std::string& name) {
    const std::optional<key_t> key = existing_sysv_key(name);
    return key ? ::shmget(*key, 0, 0) : -1;
}

// Everything but how the name is checked for replacement is the same for both handle classes:
// their headers keep the fields the layer reads under the same names and offsets.
template <typename Handle, typename Header> class handle_buffer : public attached_buffer {
public:
    explicit handle_buffer(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}

    bool usable() override { return handle_->confirm_layout() && header() != nullptr; }
    unsigned width() const override { return static_cast<unsigned>(handle_->get_width()); }
    unsigned height() const override { return static_cast<unsigned>(handle_->get_height()); }
    std::uint64_t frame_count() const override { return load_acquire(header()->frame_count); }
    std::uint32_t indicator() const override { return load_acquire(header()->buffer_indicator); }
    boost::posix_time::ptime last_write_time() const override {
        return load_acquire(header()->last_write_time);
    }
    const std::uint32_t* wake_word() const override { return frame_count_word(header()); }
    const std::uint8_t* newest_slot() override { return handle_->get_read_address(); }
    std::uint8_t* write_slot() override {
        handle_->grab_write_sem();
        return handle_->get_write_address();
    }
    void publish() override { handle_->release_write_sem(); }

protected:
    const Header* header() const { return handle_->get_header(); }
    std::unique_ptr<Handle> handle_;
};

class posix_buffer final : public handle_buffer<posix_double_buffer_t, double_buffer_header_t> {
public:
    posix_buffer(std::unique_ptr<posix_double_buffer_t> handle, const struct stat& identity)
        : handle_buffer(std::move(handle)), device_(identity.st_dev), inode_(identity.st_ino) {}

    backend kind() const override { return backend::posix; }
    bool replaced() const override {
        const auto now = stat_entry(handle_->get_name());
        return !now || now->st_dev != device_ || now->st_ino != inode_;
    }

private:
    dev_t device_;
    ino_t inode_;
};

class sysv_buffer final : public handle_buffer<sysv_double_buffer_t, sysv_double_buffer_header_t> {
public:
    explicit sysv_buffer(std::unique_ptr<sysv_double_buffer_t> handle)
        : handle_buffer(std::move(handle)), shmid_(handle_->get_shmid()) {}

    backend kind() const override { return backend::sysv; }
    bool replaced() const override { return current_shmid(handle_->get_name()) != shmid_; }

private:
    int shmid_;
};

std::unique_ptr<attached_buffer> attach_posix_reader(const std::string& name) {
    const auto before = stat_entry(name);
    if (!before || before->st_size < static_cast<off_t>(double_buffer_header_bytes)) {
        return nullptr;
    }
    auto handle = std::make_unique<posix_double_buffer_t>(name.c_str(), bip::read_only);
    // The constructor made the attempt; is_valid() would make a second one at once.
    if (handle->get_header() == nullptr || !handle->is_valid() ||
        !dimensions_in_range(handle->get_width(), handle->get_height())) {
        return nullptr;
    }
    // A frame ring being made starts as zeros, which looked like a double buffer when the
    // caller checked; once sized it is at least as large as two slots of its frame and would
    // pass for one.
    if (load_acquire(handle->get_header()->buffer_type) == ring::ring_buffer_type) {
        return nullptr;
    }
    // The same object before and after the open: the handle mapped the buffer it was asked for.
    const auto after = stat_entry(name);
    if (!after || after->st_ino != before->st_ino || after->st_dev != before->st_dev) {
        return nullptr;
    }
    return std::make_unique<posix_buffer>(std::move(handle), *after);
}

std::unique_ptr<attached_buffer> attach_sysv_reader(const std::string& name) {
    // Without a segment behind the key file, a reader handle would only make write-wait objects.
    if (!stat_entry(name) || current_shmid(name) < 0) {
        return nullptr;
    }
    try {
        auto handle = std::make_unique<sysv_double_buffer_t>(name.c_str(), bip::read_only);
        if (handle->get_header() == nullptr || !handle->is_valid() ||
            !dimensions_in_range(handle->get_width(), handle->get_height())) {
            return nullptr;
        }
        return std::make_unique<sysv_buffer>(std::move(handle));
    } catch (const std::exception&) {
        // Dimensions that changed while attaching: not ready yet.
        return nullptr;
    }
}

write_failure posix_open_failure(const std::string& name, std::uint64_t needed, int last_errno) {
    // First: the object a writer could not back is removed again, so there is nothing to open.
    const std::optional<std::uint64_t> free_bytes = shm_free_bytes();
    if (free_bytes && *free_bytes < needed) {
        return {error_code::no_space, ENOSPC,
                "not enough shared memory: " + shm_shortage_text(needed, free_bytes)};
    }
    try {
        bip::shared_memory_object object(bip::open_only, name.c_str(), bip::read_write);
    } catch (const bip::interprocess_exception& e) {
        return system_failure(e.get_native_error(), e.what());
    }
    return system_failure(last_errno, "the shared-memory object could not be sized or mapped");
}

/// Marks a header that is about to be replaced as holding no frame of any size, and wakes its
/// sleepers. Readers that only watch the header (the handle classes' own waits) then see it
/// change, and their layout check sends them to the buffer made anew.
template <typename Header> void retire_header(Header& header) {
    store_release(header.width, std::uint32_t{0});
    store_release(header.height, std::uint32_t{0});
    store_release(header.last_write_time, boost::posix_time::ptime());
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    wake_word_sleepers(frame_count_word(&header));
}

void retire_sysv_segment(int shmid) {
    void* attached = ::shmat(shmid, nullptr, 0);
    if (attached == reinterpret_cast<void*>(-1)) {
        return;
    }
    struct shmid_ds segment {};
    if (::shmctl(shmid, IPC_STAT, &segment) == 0 &&
        segment.shm_segsz >= sizeof(sysv_double_buffer_header_t)) {
        retire_header(*static_cast<sysv_double_buffer_header_t*>(attached));
    }
    ::shmdt(attached);
}

std::unique_ptr<attached_buffer> attach_posix_writer(const std::string& name, unsigned width,
                                                     unsigned height, write_failure& failure) {
    const std::uint64_t needed = compute_size(width, height);
    const auto existing = stat_entry(name);
    // A frame ring of the same size would be taken for a double buffer, its header and
    // reader table overwritten under its readers.
    if (existing && existing->st_size != 0 &&
        (static_cast<std::uint64_t>(existing->st_size) != needed ||
         ring_attachment::is_ring(name))) {
        // Readers keep the old object mapped until they notice; cutting it short would leave
        // their slots beyond its end.
        ZORV_LOG_DEBUG("Replacing Double Buffer " << name << " of " << existing->st_size
                                                  << " Bytes for " << width << "x" << height);
        retire_posix_buffer(name);
        ::shm_unlink(("/" + name).c_str());
    }
    errno = 0;
    auto handle =
        std::make_unique<posix_double_buffer_t>(name.c_str(), bip::read_write, width, height);
    const int made_errno = errno;
    const auto identity = stat_entry(name);
    if (!handle->is_valid() || handle->get_header() == nullptr || !identity) {
        failure = posix_open_failure(name, needed, made_errno);
        return nullptr;
    }
    return std::make_unique<posix_buffer>(std::move(handle), *identity);
}

std::unique_ptr<attached_buffer> attach_sysv_writer(const std::string& name, unsigned width,
                                                    unsigned height, write_failure& failure) {
    const int existing = current_shmid(name);
    struct shmid_ds segment {};
    if (existing >= 0 && ::shmctl(existing, IPC_STAT, &segment) == 0 &&
        segment.shm_segsz != compute_size(width, height)) {
        // A segment cannot change size: the buffer is made anew, and readers reattach.
        retire_sysv_segment(existing);
        sysv_double_buffer_t::remove(name.c_str());
    }
    errno = 0;
    try {
        auto handle =
            std::make_unique<sysv_double_buffer_t>(name.c_str(), bip::read_write, width, height);
        if (handle->is_valid() && handle->get_header() != nullptr) {
            return std::make_unique<sysv_buffer>(std::move(handle));
        }
    } catch (const bip::interprocess_exception& e) {
        failure = system_failure(e.get_native_error(), e.what());
        return nullptr;
    } catch (const std::exception& e) {
        failure = system_failure(errno, e.what());
        return nullptr;
    }
    failure = system_failure(errno, "the System V segment could not be created or attached");
    return nullptr;
}

} // namespace

void retire_posix_object(int fd) {
    // A frame ring keeps width, height, time and count where a double buffer does: one retirement
    // serves both.
    struct stat info {};
    if (::fstat(fd, &info) == 0 &&
        info.st_size >= static_cast<off_t>(sizeof(double_buffer_header_t))) {
        void* mapped = ::mmap(nullptr, sizeof(double_buffer_header_t), PROT_READ | PROT_WRITE,
                              MAP_SHARED, fd, 0);
        if (mapped != MAP_FAILED) {
            // Another process may cut the object short meanwhile.
            fault_guarded([&] { retire_header(*static_cast<double_buffer_header_t*>(mapped)); });
            ::munmap(mapped, sizeof(double_buffer_header_t));
        }
    }
}

void retire_posix_buffer(const std::string& name) {
    const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd >= 0) {
        retire_posix_object(fd);
        ::close(fd);
    }
}

std::unique_ptr<attached_buffer> attach_reader(backend kind, const std::string& name) {
    return kind == backend::sysv ? attach_sysv_reader(name) : attach_posix_reader(name);
}

std::unique_ptr<attached_buffer> attach_writer(backend kind, const std::string& name,
                                               unsigned width, unsigned height,
                                               write_failure& failure) {
    return kind == backend::sysv ? attach_sysv_writer(name, width, height, failure)
                                 : attach_posix_writer(name, width, height, failure);
}

std::optional<backend> detect_backend(const std::string& name) {
    const std::optional<backend> kind = shm_entry_backend(name);
    // An empty entry is a key file, or a POSIX object its writer has not sized yet: only a
    // segment behind it tells.
    if (kind == backend::sysv && current_shmid(name) < 0) {
        return std::nullopt;
    }
    return kind;
}

write_failure system_failure(int number, std::string text) {
    // Without a number the system gave no reason it could name: an I/O failure says as much.
    const int known = number != 0 ? number : EIO;
    const bool space = known == ENOSPC || known == ENOMEM;
    return {space ? error_code::no_space : error_code::system_error, known, std::move(text)};
}

} // namespace zorvgst::detail
