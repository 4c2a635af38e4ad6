// The POSIX backend of the elements, on the library's public double-buffer classes.
#include "backend.h"
#include <stdexcept>

#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <sys/stat.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/posix_double_buffer.h>

#include "backend_sysv.h"
#include "internal/shm_reservation.h"

namespace zorvplugin {
namespace {

namespace bip = boost::interprocess;

template <typename T> T load_shared(const T& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

// Where the POSIX object of `name` shows up as a file (a leading slash names the same object).
std::string object_path(const std::string& name) {
    return "/dev/shm/" + (name.rfind('/', 0) == 0 ? name.substr(1) : name);
}

bool size_of(const bip::shared_memory_object& object, std::uint64_t& size) {
    bip::offset_t value = 0;
    if (!object.get_size(value) || value < 0) {
        return false;
    }
    size = static_cast<std::uint64_t>(value);
    return true;
}

class posix_writer_t final : public frame_writer_t {
public:
    posix_writer_t(const std::string& name, std::uint32_t width, std::uint32_t height)
        : buffer_(name.c_str(), bip::read_write, width, height) {}

    bool is_valid() override { return buffer_.is_valid(); }
    guint8* begin_frame() override {
        buffer_.grab_write_sem();
        return buffer_.get_write_address();
    }
    void publish() override { buffer_.release_write_sem(); }

private:
    double_buffer_t buffer_;
};

// The facade hides the header, and with it frame_count and the header's dimensions, so the
// reader holds the handle class itself. It keeps a descriptor of its own on the object to see
// resizes and replacements, which a valid handle never re-checks.
class posix_reader_t final : public frame_reader_t {
public:
    explicit posix_reader_t(std::string name) : name_(std::move(name)) {}

    bool try_open() override {
        if (handle_) {
            return true;
        }
        try {
            bip::shared_memory_object probe(bip::open_only, name_.c_str(), bip::read_only);
            std::uint64_t before = 0;
            if (!size_of(probe, before) || before < sizeof(double_buffer_header_t) ||
                !pacer_.may_try()) {
                return false;
            }
            // Until the checks below pass, the next library attempt waits its turn.
            pacer_.failed();
            auto handle = std::make_unique<posix_double_buffer_t>(name_.c_str(), bip::read_only);
            // The constructor made the first attempt; is_valid() would make a second at once.
            if (handle->get_header() == nullptr || !handle->is_valid()) {
                return false;
            }
            // The handle mapped the object as it was during its open; the same size before and
            // after, matching the header's dimensions, means both slots lie inside that mapping.
            std::uint64_t after = 0;
            if (!size_of(probe, after) || after != before) {
                return false;
            }
            const std::uint64_t width = handle->get_width();
            const std::uint64_t height = handle->get_height();
            if (width == 0 || height == 0 || width > max_dimension || height > max_dimension ||
                compute_size(width, height) != after) {
                return false;
            }
            struct stat info {};
            if (fstat(probe.get_mapping_handle().handle, &info) != 0) {
                return false;
            }
            probe_.swap(probe);
            handle_ = std::move(handle);
            width_ = static_cast<std::uint32_t>(width);
            height_ = static_cast<std::uint32_t>(height);
            device_ = info.st_dev;
            inode_ = info.st_ino;
            return true;
        } catch (const bip::interprocess_exception&) {
            return false;
        }
    }

    std::uint32_t width() const override { return width_; }
    std::uint32_t height() const override { return height_; }

    bool layout_changed() const override {
        if (!handle_) {
            return true;
        }
        std::uint64_t size = 0;
        if (!size_of(probe_, size) || size != compute_size(width_, height_)) {
            return true;
        }
        const double_buffer_header_t* header = handle_->get_header();
        if (load_shared(header->width) != width_ || load_shared(header->height) != height_) {
            return true;
        }
        struct stat info {};
        return stat(object_path(name_).c_str(), &info) != 0 || info.st_dev != device_ ||
               info.st_ino != inode_;
    }

    std::uint64_t frame_count() const override {
        return load_shared(handle_->get_header()->frame_count);
    }
    boost::posix_time::ptime last_write_time() const override {
        return handle_->get_last_write_time();
    }
    void wait_for_write(std::chrono::milliseconds slice) override {
        // This backend polls against a local-time deadline.
        handle_->wait_for_write(boost::posix_time::microsec_clock::local_time() +
                                boost::posix_time::milliseconds(slice.count()));
    }
    const guint8* begin_read() override {
        handle_->grab_read_sem();
        return handle_->get_read_address();
    }
    void end_read() override { handle_->release_read_sem(); }

private:
    std::string name_;
    bip::shared_memory_object probe_;
    open_pacer_t pacer_;
    std::unique_ptr<posix_double_buffer_t> handle_;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// Why a writer could not open, for the element's error message; the library logs the details.
std::string posix_open_failure(const std::string& name, std::uint32_t width, std::uint32_t height) {
    // Pages an existing object already holds count towards what it needs; an object that could
    // not be backed at all has been removed again.
    std::uint64_t held_bytes = 0;
    std::string open_error;
    try {
        bip::shared_memory_object object(bip::open_only, name.c_str(), bip::read_write);
        struct stat info {};
        if (fstat(object.get_mapping_handle().handle, &info) == 0) {
            held_bytes = static_cast<std::uint64_t>(info.st_blocks) * 512;
        }
    } catch (const bip::interprocess_exception& e) {
        if (e.get_error_code() != bip::not_found_error) {
            return e.what();
        }
        open_error = e.what();
    }
    const std::uint64_t needed_bytes = compute_size(width, height);
    const auto free_bytes = zorvgst::detail::shm_free_bytes();
    if (free_bytes && *free_bytes + held_bytes < needed_bytes) {
        return "not enough shared memory: " +
               zorvgst::detail::shm_shortage_text(needed_bytes, free_bytes);
    }
    return open_error.empty() ? "the shared-memory object could not be sized or mapped"
                              : open_error;
}

} // namespace

bool backend_available(backend_kind_t kind) {
    return kind == backend_kind_t::posix || sysv_backend_available();
}

const char* backend_label(backend_kind_t kind) {
    return kind == backend_kind_t::sysv ? "sysv" : "posix";
}

std::unique_ptr<frame_writer_t> open_writer(backend_kind_t kind, const std::string& name,
                                            std::uint32_t width, std::uint32_t height,
                                            std::string& error) {
    if (kind == backend_kind_t::sysv) {
        return open_sysv_writer(name, width, height, error);
    }
    auto writer = std::make_unique<posix_writer_t>(name, width, height);
    if (!writer->is_valid()) {
        error = posix_open_failure(name, width, height);
        return nullptr;
    }
    return writer;
}

std::unique_ptr<frame_reader_t> make_reader(backend_kind_t kind, const std::string& name) {
    if (kind == backend_kind_t::sysv) {
        return make_sysv_reader(name);
    }
    return std::make_unique<posix_reader_t>(name);
}

} // namespace zorvplugin
