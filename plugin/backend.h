// The elements' view of a double buffer: one small interface, one implementation per backend.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <glib.h>

namespace zorvplugin {

enum class backend_kind_t : int { posix = 0, sysv = 1 };

/// Whether this build of the library offers the backend.
bool backend_available(backend_kind_t kind);
const char* backend_label(backend_kind_t kind);

/// Largest width or height either element accepts; keeps every slot size far from overflow.
constexpr std::uint32_t max_dimension = 32768;

/// Spaces out open attempts that reach the library while a buffer exists but is not usable yet
/// (being sized, reset, or corrupt): each attempt may log, and a waiting reader retries often.
class open_pacer_t {
public:
    static constexpr std::chrono::milliseconds interval{250};
    bool may_try() const { return std::chrono::steady_clock::now() >= next_; }
    void failed() { next_ = std::chrono::steady_clock::now() + interval; }

private:
    std::chrono::steady_clock::time_point next_{};
};

/// Writer side of one buffer, opened at fixed dimensions. Used by one thread at a time.
class frame_writer_t {
public:
    virtual ~frame_writer_t() = default;
    virtual bool is_valid() = 0;
    /// The slot to fill next (width x height packed BGRA). Throws std::runtime_error when the
    /// buffer cannot take a frame.
    virtual guint8* begin_frame() = 0;
    /// Publishes the slot filled since begin_frame().
    virtual void publish() = 0;
};

/// Reader side of one buffer, opened without dimensions: they come from the buffer itself.
class frame_reader_t {
public:
    virtual ~frame_reader_t() = default;
    /// Attaches if the writer has made the buffer; true once its layout is usable (dimensions
    /// inside the accepted range and consistent with the memory behind them). Never blocks.
    virtual bool try_open() = 0;
    virtual std::uint32_t width() const = 0;
    virtual std::uint32_t height() const = 0;
    /// True when the writer has resized, reset or replaced the buffer since try_open(): the
    /// caller drops this reader and opens a new one.
    virtual bool layout_changed() const = 0;
    /// Frames published since the writer's last header reset.
    virtual std::uint64_t frame_count() const = 0;
    /// Not-a-date-time until the first publication.
    virtual boost::posix_time::ptime last_write_time() const = 0;
    /// Returns after a publication or after about `slice`, whichever comes first.
    virtual void wait_for_write(std::chrono::milliseconds slice) = 0;
    /// The newest complete frame (width x height packed BGRA); throws std::runtime_error.
    virtual const guint8* begin_read() = 0;
    virtual void end_read() = 0;
};

/// Opens `name` as writer for frames of width x height; null with `error` set on failure.
std::unique_ptr<frame_writer_t> open_writer(backend_kind_t kind, const std::string& name,
                                            std::uint32_t width, std::uint32_t height,
                                            std::string& error);

/// A reader on `name`, not yet attached (see try_open()).
std::unique_ptr<frame_reader_t> make_reader(backend_kind_t kind, const std::string& name);

} // namespace zorvplugin
