// The System V backend of the elements, on the library's sysv_double_buffer_t.
#include "backend_sysv.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <sys/shm.h>
#include <sys/stat.h>

#include <zorvgst/sysv_double_buffer.h>

namespace zorvplugin {
namespace {

namespace bip = boost::interprocess;
using sysv_double_buffer::sysv_double_buffer_t;

template <typename T> T load_shared(const T& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

class sysv_writer_t final : public frame_writer_t {
public:
    sysv_writer_t(const std::string& name, std::uint32_t width, std::uint32_t height)
        : buffer_(name.c_str(), bip::read_write, width, height) {}

    bool is_valid() override { return buffer_.is_valid(); }
    guint8* begin_frame() override {
        buffer_.grab_write_sem();
        return buffer_.get_write_address();
    }
    void publish() override { buffer_.release_write_sem(); }

private:
    sysv_double_buffer_t buffer_;
};

// A valid reader keeps its attachment even after the buffer is removed and made anew under the
// same name; the segment the name leads to now is compared with the one attached.
class sysv_reader_t final : public frame_reader_t {
public:
    explicit sysv_reader_t(std::string name) : name_(std::move(name)) {}

    bool try_open() override {
        if (handle_) {
            return true;
        }
        // Without a key file there is no writer yet; a reader handle would still create the
        // write-wait objects, so none is made until then.
        struct stat info {};
        if (stat(sysv_double_buffer_t::get_key_file_path(name_.c_str()).c_str(), &info) != 0 ||
            !pacer_.may_try()) {
            return false;
        }
        // Until the checks below pass, the next library attempt waits its turn.
        pacer_.failed();
        try {
            auto handle = std::make_unique<sysv_double_buffer_t>(name_.c_str(), bip::read_only);
            // The constructor made the first attempt; is_valid() would make a second at once.
            if (handle->get_header() == nullptr || !handle->is_valid()) {
                return false;
            }
            const std::size_t width = handle->get_width();
            const std::size_t height = handle->get_height();
            if (width == 0 || height == 0 || width > max_dimension || height > max_dimension) {
                return false;
            }
            shmid_ = handle->get_shmid();
            width_ = static_cast<std::uint32_t>(width);
            height_ = static_cast<std::uint32_t>(height);
            handle_ = std::move(handle);
            return true;
        } catch (const std::exception&) {
            // Dimensions that do not fit the segment, or a vanished key file: not ready yet.
            return false;
        }
    }

    std::uint32_t width() const override { return width_; }
    std::uint32_t height() const override { return height_; }

    bool layout_changed() const override {
        if (!handle_) {
            return true;
        }
        const auto* header = handle_->get_header();
        if (load_shared(header->width) != width_ || load_shared(header->height) != height_) {
            return true;
        }
        try {
            const bip::xsi_key key = sysv_double_buffer_t::key_from_name(name_.c_str(), false);
            return key.get_key() == 0 || shmget(key.get_key(), 0, 0) != shmid_;
        } catch (const std::exception&) {
            return true;
        }
    }

    std::uint64_t frame_count() const override {
        return load_shared(handle_->get_header()->frame_count);
    }
    boost::posix_time::ptime last_write_time() const override {
        return handle_->get_last_write_time();
    }
    void wait_for_write(std::chrono::milliseconds slice) override {
        // This backend sleeps on its write-wait condition against a UTC deadline.
        handle_->wait_for_write(boost::posix_time::microsec_clock::universal_time() +
                                boost::posix_time::milliseconds(slice.count()));
    }
    const guint8* begin_read() override {
        handle_->grab_read_sem();
        return handle_->get_read_address();
    }
    void end_read() override { handle_->release_read_sem(); }

private:
    std::string name_;
    open_pacer_t pacer_;
    std::unique_ptr<sysv_double_buffer_t> handle_;
    int shmid_ = -1;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
};

} // namespace

bool sysv_backend_available() {
    return true;
}

std::unique_ptr<frame_writer_t> open_sysv_writer(const std::string& name, std::uint32_t width,
                                                 std::uint32_t height, std::string& error) {
    auto writer = std::make_unique<sysv_writer_t>(name, width, height);
    if (!writer->is_valid()) {
        error = "the System V segment could not be created or attached; a segment of another "
                "frame size under this name cannot be resized and must be removed first";
        return nullptr;
    }
    return writer;
}

std::unique_ptr<frame_reader_t> make_sysv_reader(const std::string& name) {
    return std::make_unique<sysv_reader_t>(name);
}

} // namespace zorvplugin
