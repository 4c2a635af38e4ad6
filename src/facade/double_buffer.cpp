// SPDX-License-Identifier: LGPL-2.1-or-later
// The double_buffer_t facade: owns one POSIX handle and forwards to it, plus the discovery
// free functions.
#include <zorvgst/double_buffer.h>

double_buffer_t::double_buffer_t() : buffer(new posix_double_buffer_t()) {}

double_buffer_t::double_buffer_t(const char* name, boost::interprocess::mode_t mode)
    : buffer(new posix_double_buffer_t(name, mode)) {}

double_buffer_t::double_buffer_t(const char* name, boost::interprocess::mode_t mode,
                                 unsigned long width, unsigned long height)
    : buffer(new posix_double_buffer_t(name, mode, width, height)) {}

double_buffer_t::double_buffer_t(double_buffer_t& other)
    : buffer(new posix_double_buffer_t(*other.buffer)) {}

double_buffer_t::~double_buffer_t() {
    delete buffer;
}

void double_buffer_t::swap(double_buffer_t& other) {
    buffer->swap(*other.buffer);
}

bool double_buffer_t::is_valid() {
    return buffer->is_valid();
}

std::string double_buffer_t::get_name() const {
    return buffer->get_name();
}

unsigned long double_buffer_t::get_width() const {
    return buffer->get_width();
}

unsigned long double_buffer_t::get_height() const {
    return buffer->get_height();
}

bool double_buffer_t::confirm_layout() {
    return buffer->confirm_layout();
}

const guint8* double_buffer_t::get_read_address() const {
    return buffer->get_read_address();
}

guint8* double_buffer_t::get_write_address() const {
    return buffer->get_write_address();
}

void double_buffer_t::grab_read_sem() {
    buffer->grab_read_sem();
}

void double_buffer_t::release_read_sem() {
    buffer->release_read_sem();
}

void double_buffer_t::grab_write_sem() {
    buffer->grab_write_sem();
}

void double_buffer_t::release_write_sem() {
    buffer->release_write_sem();
}

void double_buffer_t::wait_for_write(boost::posix_time::ptime deadline) const {
    buffer->wait_for_write(deadline);
}

boost::posix_time::ptime double_buffer_t::get_last_write_time() const {
    return buffer->get_last_write_time();
}

void double_buffer_t::reset_last_write_time() const {
    buffer->reset_last_write_time();
}

void double_buffer_t::remove(const char* name) {
    posix_double_buffer_t::remove(name);
}

bool double_buffer_t::remove_double_buffer_if_owner_pid_expired(const char* name) {
    return posix_double_buffer_t::remove_double_buffer_if_owner_pid_expired(name);
}

std::vector<std::string> get_double_buffer_names(const std::string& directory) {
    return posix_double_buffer_t::get_double_buffer_names(directory);
}

std::vector<std::string> get_double_buffer_names() {
    return posix_double_buffer_t::get_double_buffer_names();
}

pid_t get_double_buffer_owner(const std::string& name) {
    return posix_double_buffer_t::get_double_buffer_owner(name);
}
