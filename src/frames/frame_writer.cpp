// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame API's writer: one per buffer, over either backend.
#include <cerrno>
#include <cstring>
#include <utility>

#include <unistd.h>

#include <zorvgst/buffer_name.h>
#include <zorvgst/frames.h>
#include <zorvgst/inventory.h>

#include "internal/copy_rows.h"
#include "internal/frames/attached_buffer.h"
#include "internal/header_time.h"
#include "internal/inventory/probe.h"
#include "internal/ring/ring_attachment.h"

namespace zorvgst {

struct frame_writer::state {
    std::string name;
    backend kind;
    unsigned width;
    unsigned height;
    std::unique_ptr<detail::attached_buffer> buffer;
    // Set when the buffer is a frame ring: the same object as `buffer`.
    detail::ring_attachment* ring = nullptr;
    ring_options options;
    frame_format format;
};

namespace {

void check_dimensions(const std::string& name, unsigned width, unsigned height) {
    if (width == 0 || height == 0 || width > max_frame_dimension || height > max_frame_dimension) {
        throw error(error_code::invalid_format, "buffer " + name + ": frame size " +
                                                    std::to_string(width) + "x" +
                                                    std::to_string(height) + " outside 1.." +
                                                    std::to_string(max_frame_dimension));
    }
}

/// Another live process that owns `name` (in either backend) keeps it: two writers would hand
/// readers each other's frames. What a dead writer left in the other backend goes.
void claim_name(const std::string& name, backend kind) {
    const std::optional<buffer_status> existing = detail::probe_buffer(name);
    if (!existing) {
        return;
    }
    if (existing->owner_pid > 0 && existing->owner_pid != ::getpid() && existing->owner_alive) {
        throw error(error_code::owner_alive, "buffer " + name + " is owned by the live process " +
                                                 std::to_string(existing->owner_pid));
    }
    if (existing->backend != kind) {
        remove_buffer(name);
    }
}

std::unique_ptr<detail::attached_buffer> open_for_writing(const std::string& name, backend kind,
                                                          unsigned width, unsigned height) {
    detail::write_failure failure;
    auto buffer = detail::attach_writer(kind, name, width, height, failure);
    if (!buffer) {
        throw error(failure.code, "cannot open buffer " + name + " for writing: " + failure.text,
                    failure.system_error);
    }
    return buffer;
}

std::unique_ptr<detail::ring_attachment>
open_ring(const std::string& name, const frame_format& format, const ring_options& options) {
    detail::write_failure failure;
    auto ring = detail::ring_attachment::create(name, format, options, failure);
    if (!ring) {
        throw error(failure.code, "cannot make frame ring " + name + ": " + failure.text,
                    failure.system_error);
    }
    return ring;
}

void check_name(const std::string& name) {
    if (!zorvgst::is_plain_buffer_name(name)) {
        throw error(error_code::invalid_name,
                    "invalid buffer name '" + name + "': it must name one entry of /dev/shm");
    }
}

void check_format(const std::string& name, const frame_format& format) {
    check_dimensions(name, format.width, format.height);
    if (!format.consistent()) {
        throw error(error_code::invalid_format,
                    "buffer " + name + ": the layout given for " + format.name + " frames of " +
                        std::to_string(format.width) + "x" + std::to_string(format.height) +
                        " puts planes outside its " + std::to_string(format.size) +
                        " bytes, or rows shorter than their pixels");
    }
}

} // namespace

frame_writer::frame_writer(const std::string& name, const frame_format& format,
                           const ring_options& options)
    : state_(std::make_unique<state>()) {
    check_name(name);
    check_format(name, format);
    claim_name(name, backend::posix);
    state_->name = name;
    state_->kind = backend::posix;
    state_->width = format.width;
    state_->height = format.height;
    state_->options = options;
    state_->format = format;
    auto ring = open_ring(name, format, options);
    state_->ring = ring.get();
    state_->buffer = std::move(ring);
}

frame_writer::frame_writer(const std::string& name, unsigned width, unsigned height, backend kind)
    : state_(std::make_unique<state>()) {
    check_name(name);
    check_dimensions(name, width, height);
    claim_name(name, kind);
    state_->name = name;
    state_->kind = kind;
    state_->width = width;
    state_->height = height;
    state_->format = frame_format::of("BGRA", width, height);
    state_->buffer = open_for_writing(name, kind, width, height);
}

frame_writer::~frame_writer() = default;
frame_writer::frame_writer(frame_writer&&) noexcept = default;
frame_writer& frame_writer::operator=(frame_writer&&) noexcept = default;

frame_info frame_writer::write(const void* pixels, std::size_t stride) {
    if (state_->format.planes != 1) {
        throw error(error_code::invalid_format,
                    "frames of " + state_->name + " are " + state_->format.name +
                        ", in several planes: write_planes() writes them");
    }
    const void* planes[] = {pixels};
    const std::size_t strides[] = {stride};
    return write_planes(planes, strides);
}

frame_info frame_writer::write_planes(const void* const* planes, const std::size_t* strides,
                                      const frame_timing& timing) {
    const frame_format& format = state_->format;
    for (unsigned i = 0; i < format.planes; ++i) {
        if (strides[i] < format.row_bytes(i)) {
            throw error(error_code::invalid_argument, "stride of " + std::to_string(strides[i]) +
                                                          " bytes shorter than a row of " +
                                                          std::to_string(state_->width) +
                                                          " pixels");
        }
    }
    std::uint8_t* slot = frame();
    for (unsigned i = 0; i < format.planes; ++i) {
        detail::copy_rows(slot + format.plane[i].offset, format.plane[i].stride,
                          static_cast<const std::uint8_t*>(planes[i]), strides[i],
                          format.row_bytes(i), format.plane_height(i));
    }
    return state_->ring != nullptr ? publish(timing) : publish();
}

std::uint8_t* frame_writer::frame() {
    return state_->buffer->write_slot();
}

frame_info frame_writer::publish(const frame_timing& timing, std::size_t metadata_size) {
    if (state_->ring == nullptr) {
        return publish();
    }
    frame_timing stamped = timing;
    if (stamped.pts_ns < 0) {
        stamped.pts_ns = monotonic_now_ns();
    }
    frame_info info;
    info.number = state_->ring->publish(stamped, metadata_size);
    info.written = std::chrono::system_clock::now();
    info.width = state_->width;
    info.height = state_->height;
    return info;
}

std::uint8_t* frame_writer::metadata() {
    return state_->ring != nullptr ? state_->ring->metadata_area() : nullptr;
}

std::size_t frame_writer::metadata_capacity() const {
    return state_->ring != nullptr ? state_->ring->metadata_capacity() : 0;
}

buffer_layout frame_writer::layout() const {
    return state_->ring != nullptr ? buffer_layout::frame_ring : buffer_layout::double_buffer;
}

const frame_format& frame_writer::format() const {
    return state_->format;
}

void frame_writer::reformat(const frame_format& format) {
    check_format(state_->name, format);
    if (state_->ring == nullptr) {
        if (format.name != "BGRA" ||
            format != frame_format::of("BGRA", format.width, format.height)) {
            throw error(error_code::invalid_format,
                        "buffer " + state_->name +
                            " is a double buffer: its frames are packed BGRA");
        }
        resize(format.width, format.height);
        return;
    }
    if (format == state_->format) {
        return;
    }
    state_->ring = nullptr;
    state_->buffer.reset();
    auto ring = open_ring(state_->name, format, state_->options);
    state_->ring = ring.get();
    state_->buffer = std::move(ring);
    state_->format = format;
    state_->width = format.width;
    state_->height = format.height;
}

frame_info frame_writer::publish() {
    if (state_->ring != nullptr) {
        return publish(frame_timing{}, 0);
    }
    detail::attached_buffer& buffer = *state_->buffer;
    buffer.publish();
    frame_info info;
    info.number = buffer.frame_count();
    info.written = detail::utc_from_header_time(buffer.last_write_time())
                       .time.value_or(std::chrono::system_clock::time_point());
    info.width = state_->width;
    info.height = state_->height;
    return info;
}

void frame_writer::resize(unsigned width, unsigned height) {
    check_dimensions(state_->name, width, height);
    if (width == state_->width && height == state_->height) {
        return;
    }
    if (state_->ring != nullptr) {
        reformat(frame_format::of(state_->format.name, width, height));
        return;
    }
    state_->buffer.reset();
    state_->buffer = open_for_writing(state_->name, state_->kind, width, height);
    state_->width = width;
    state_->height = height;
    state_->format = frame_format::of("BGRA", width, height);
}

unsigned frame_writer::width() const {
    return state_->width;
}

unsigned frame_writer::height() const {
    return state_->height;
}

const std::string& frame_writer::name() const {
    return state_->name;
}

backend frame_writer::kind() const {
    return state_->kind;
}

} // namespace zorvgst
