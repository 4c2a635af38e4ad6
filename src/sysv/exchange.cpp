// SPDX-License-Identifier: LGPL-2.1-or-later
// System V double buffer frame exchange: slot addresses, publication and the write-wait condition.
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zorvgst/buffer_name.h>

#include "internal/buffer_geometry.h"
#include "internal/frame_count_wake.h"
#include "internal/header_updates.h"
#include "internal/log.h"
#include "internal/shm_access.h"
#include "internal/sysv/common.h"
#include "internal/sysv/wake.h"

namespace sysv_double_buffer {

namespace ipc = boost::interprocess;
using zorvgst::detail::load_acquire;
using zorvgst::detail::store_release;

namespace {

// Lock on the write-wait mutex that never waits past the caller's deadline, neither when first
// taken nor when the condition takes it back after the sleep. The mutex is a semaphore that
// records no owner, so a process killed while holding it would otherwise hold every later
// waiter forever. A special deadline keeps the unlimited wait.
class deadline_lock {
public:
    using mutex_type = ipc::named_mutex;

    deadline_lock(ipc::named_mutex& mutex, const boost::posix_time::ptime& deadline)
        : mutex_(mutex), deadline_(deadline) {
        lock();
    }
    ~deadline_lock() { unlock(); }
    deadline_lock(const deadline_lock&) = delete;
    deadline_lock& operator=(const deadline_lock&) = delete;

    void lock() {
        if (deadline_.is_special()) {
            mutex_.lock();
            owns_ = true;
        } else {
            owns_ = mutex_.timed_lock(deadline_);
        }
    }

    void unlock() {
        if (owns_) {
            owns_ = false;
            mutex_.unlock();
        }
    }

    ipc::named_mutex* mutex() const { return &mutex_; }
    explicit operator bool() const { return owns_; }

private:
    ipc::named_mutex& mutex_;
    const boost::posix_time::ptime deadline_;
    bool owns_ = false;
};

// Widens the mode of a file this process owns to the buffers' group mode. Opened without
// following links: others may plant entries in the shared directory.
void grant_group_access(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() &&
        (info.st_mode & 0777) != static_cast<mode_t>(default_perms.get_permissions())) {
        (void)::fchmod(fd, static_cast<mode_t>(default_perms.get_permissions()));
    }
    ::close(fd);
}

} // namespace

std::string build_write_wait_condition_name(const std::string& name) {
    return name + "_cond";
}

std::string build_write_wait_condition_mutex_name(const std::string& name) {
    return name + "_cond_mutex";
}

void sysv_double_buffer_t::init_write_wait_cond() {
    write_wait_cond.reset();
    write_wait_mutex.reset();
    // A detached or refused name owns no write-wait objects: never create "_cond" or objects
    // outside the shared-memory directory.
    if (!zorvgst::is_plain_buffer_name(name)) {
        if (!name.empty()) {
            ZORV_LOG_ERROR("Invalid Double Buffer Name: " << name);
        }
        return;
    }
    write_wait_cond = std::make_unique<ipc::named_condition>(
        ipc::open_or_create, build_write_wait_condition_name(name).c_str(), default_perms);
    const std::string mutex_name = build_write_wait_condition_mutex_name(name);
    write_wait_mutex =
        std::make_unique<ipc::named_mutex>(ipc::open_or_create, mutex_name.c_str(), default_perms);
    // The semaphore is created under the caller's umask; group members must still open it.
    grant_group_access("/dev/shm/sem." + mutex_name);
}

void sysv_double_buffer_t::grab_read_sem() {
    if (!is_valid()) {
        throw std::runtime_error("Attempted to Grab Write Sem on Invalid Buffer");
    }
}

void sysv_double_buffer_t::grab_write_sem() {
    if (!is_valid()) {
        throw std::runtime_error("Attempted to Grab Write Sem on Invalid Buffer");
    }
}

const guint8* sysv_double_buffer_t::get_read_address() const {
    sysv_double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        ZORV_LOG_ERROR("Cannot Get Read Address -- Header Is Null for: " << name);
        throw std::runtime_error("Cannot Get Read Address -- Header is Null");
    }
    if (!slots_fit_attachment()) {
        ZORV_LOG_ERROR(
            "Cannot Get Read Address -- Buffer Dimensions Exceed Shared Memory for: " << name);
        throw std::runtime_error(
            "Cannot Get Read Address -- Buffer Dimensions Exceed Shared Memory");
    }
    const zorvgst::detail::slot_choice slot = zorvgst::detail::choose_read_slot(
        header->buffer_indicator, region.get_mode() == ipc::read_write, width, height,
        region.get_size());
    if (!slot.indicator_valid) {
        ZORV_LOG_ERROR("Invalid Shared Memory Read Buffer Indicator: "
                       << slot.indicator << " for " << name << " -- Returning Read Buffer 0");
    }
    return static_cast<const guint8*>(region.get_address()) + slot.offset;
}

guint8* sysv_double_buffer_t::get_write_address() const {
    if (mode == ipc::read_only) {
        ZORV_LOG_ERROR(
            "Unexpected Call to get_write_address() On Read Only Double Buffer: " << name);
        throw std::runtime_error(
            "Unexpected Call to get_write_address() On Read Only Double Buffer");
    }
    sysv_double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        ZORV_LOG_ERROR("Cannot Get Write Address -- Header Is Null for: " << name);
        throw std::runtime_error("Cannot Get Write Address -- Header is Null");
    }
    if (!slots_fit_attachment() || region.get_mode() != ipc::read_write) {
        ZORV_LOG_ERROR(
            "Cannot Get Write Address -- Buffer Dimensions Exceed Shared Memory for: " << name);
        throw std::runtime_error(
            "Cannot Get Write Address -- Buffer Dimensions Exceed Shared Memory");
    }
    const zorvgst::detail::slot_choice slot = zorvgst::detail::choose_write_slot(
        header->buffer_indicator, width, height, region.get_size());
    if (!slot.indicator_valid) {
        ZORV_LOG_ERROR("Invalid Shared Memory Read Buffer Indicator: "
                       << slot.indicator << " for " << name << " -- Returning Writer Buffer 1");
    }
    return static_cast<guint8*>(region.get_address()) + slot.offset;
}

void sysv_double_buffer_t::release_read_sem() {
    const sysv_double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        ZORV_LOG_ERROR("Cannot Release Read Sem -- Header Is Null for: " << name);
        return;
    }
    ZORV_LOG_TRACE("Read: " << load_acquire(header->buffer_indicator) << " @ "
                            << load_acquire(header->last_write_time)
                            << " Frame Count: " << load_acquire(header->frame_count));
}

void sysv_double_buffer_t::release_write_sem() {
    sysv_double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        ZORV_LOG_ERROR("Cannot Release Write Sem -- Header Is Null for: " << name);
        return;
    }
    if (region.get_mode() != ipc::read_write) {
        ZORV_LOG_ERROR(
            "Unexpected Call to release_write_sem() On Read Only Double Buffer: " << name);
        return;
    }
    // The flip comes first: whoever sees the new time or is woken finds the new slot named.
    const boost::posix_time::ptime now = boost::posix_time::microsec_clock::local_time();
    std::uint32_t indicator = 0;
    if (!zorvgst::detail::flip_indicator(header->buffer_indicator, indicator)) {
        ZORV_LOG_ERROR("Last Write Left Buffer Indicator in Invalid State for: "
                       << name << " -- Buffer Indicator: " << indicator);
    }
    zorvgst::detail::stamp_publication(*header, now);
    ZORV_LOG_TRACE("Flipped to: " << load_acquire(header->buffer_indicator) << " @ "
                                  << load_acquire(header->last_write_time)
                                  << " Frame Count: " << load_acquire(header->frame_count));
    region.flush();
    // Neither the write-wait mutex nor the condition's own lock is taken on this thread: a
    // waiter killed while holding either would otherwise stop publication for good.
    detail::wake_word_waiters(zorvgst::detail::frame_count_word(header));
    if (write_wait_cond) {
        detail::notify_condition_in_background(build_write_wait_condition_name(name));
    }
}

void sysv_double_buffer_t::wait_for_write(boost::posix_time::ptime deadline) const {
    if (!write_wait_cond || !write_wait_mutex) {
        ZORV_LOG_ERROR("Write Wait Condition Not Initialized for Buffer: " << name);
        return;
    }
    // With a header, sleep on its frame count: a waiter that dies there leaves nothing held. The
    // condition remains for handles not yet attached, which only a notification can wake.
    if (const sysv_double_buffer_header_t* header = get_header()) {
        const std::uint32_t* word = zorvgst::detail::frame_count_word(header);
        detail::wait_for_word_change(word, __atomic_load_n(word, __ATOMIC_ACQUIRE), deadline);
        return;
    }
    deadline_lock lock(*write_wait_mutex, deadline);
    if (!lock) {
        // The mutex stayed taken until the deadline: nothing to wait for any more.
        return;
    }
    if (deadline.is_special()) {
        write_wait_cond->wait(lock);
    } else {
        write_wait_cond->timed_wait(lock, deadline);
    }
}

boost::posix_time::ptime sysv_double_buffer_t::get_last_write_time() const {
    const sysv_double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        return boost::posix_time::ptime();
    }
    return load_acquire(header->last_write_time);
}

void sysv_double_buffer_t::reset_last_write_time() const {
    sysv_double_buffer_header_t* header = get_header();
    if (header == nullptr) {
        ZORV_LOG_ERROR("Cannot Reset Last Write Time -- Header Is Null for: " << name);
        return;
    }
    if (region.get_mode() != ipc::read_write) {
        ZORV_LOG_ERROR(
            "Unexpected Call to reset_last_write_time() On Read Only Double Buffer: " << name);
        return;
    }
    store_release(header->last_write_time, boost::posix_time::ptime());
}

} // namespace sysv_double_buffer
