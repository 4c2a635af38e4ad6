// SPDX-License-Identifier: LGPL-2.1-or-later
// The frame API's writer: one per buffer, over either backend.
#include <cstring>

#include <unistd.h>

#include <zorvgst/frames.h>
#include <zorvgst/inventory.h>

#include "internal/copy_rows.h"
#include "internal/frames/attached_buffer.h"
#include "internal/header_time.h"
#include "internal/inventory/probe.h"
#include "internal/plain_file_name.h"

namespace zorvgst {

struct frame_writer::state {
    std::string name;
    backend kind;
    unsigned width;
    unsigned height;
    std::unique_ptr<detail::attached_buffer> buffer;
};

namespace {

void check_dimensions(const std::string& name, unsigned width, unsigned height) {
    if (width == 0 || height == 0 || width > max_frame_dimension || height > max_frame_dimension) {
        throw error("buffer " + name + ": frame size " + std::to_string(width) + "x" +
                    std::to_string(height) + " outside 1.." + std::to_string(max_frame_dimension));
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
        throw error("buffer " + name + " is owned by the live process " +
                    std::to_string(existing->owner_pid));
    }
    if (existing->backend != kind) {
        remove_buffer(name);
    }
}

std::unique_ptr<detail::attached_buffer> open_for_writing(const std::string& name, backend kind,
                                                          unsigned width, unsigned height) {
    std::string failure;
    auto buffer = detail::attach_writer(kind, name, width, height, failure);
    if (!buffer) {
        throw error("cannot open buffer " + name + " for writing: " + failure);
    }
    return buffer;
}

} // namespace

frame_writer::frame_writer(const std::string& name, unsigned width, unsigned height, backend kind)
    : state_(std::make_unique<state>()) {
    if (!detail::is_plain_file_name(name)) {
        throw error("invalid buffer name '" + name + "': it must name one entry of /dev/shm");
    }
    check_dimensions(name, width, height);
    claim_name(name, kind);
    state_->name = name;
    state_->kind = kind;
    state_->width = width;
    state_->height = height;
    state_->buffer = open_for_writing(name, kind, width, height);
}

frame_writer::~frame_writer() = default;
frame_writer::frame_writer(frame_writer&&) noexcept = default;
frame_writer& frame_writer::operator=(frame_writer&&) noexcept = default;

frame_info frame_writer::write(const void* pixels, std::size_t stride) {
    const std::size_t row = std::size_t{state_->width} * 4;
    if (stride < row) {
        throw error("stride of " + std::to_string(stride) + " bytes shorter than a row of " +
                    std::to_string(state_->width) + " pixels");
    }
    std::uint8_t* slot = frame();
    const auto* source = static_cast<const std::uint8_t*>(pixels);
    detail::copy_rows(slot, row, source, stride, row, state_->height);
    return publish();
}

std::uint8_t* frame_writer::frame() {
    return state_->buffer->write_slot();
}

frame_info frame_writer::publish() {
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
    state_->buffer.reset();
    state_->buffer = open_for_writing(state_->name, state_->kind, width, height);
    state_->width = width;
    state_->height = height;
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
