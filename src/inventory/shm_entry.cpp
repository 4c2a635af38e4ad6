// SPDX-License-Identifier: LGPL-2.1-or-later
// Looking at entries of /dev/shm without opening or following them.
#include "internal/inventory/shm_entry.h"

#include <zorvgst/buffer_name.h>

#include "internal/shm_reservation.h"

namespace zorvgst::detail {

std::optional<struct stat> shm_entry_status(const std::string& name) {
    struct stat st {};
    if (::lstat((std::string(shm_directory) + "/" + name).c_str(), &st) != 0) {
        return std::nullopt;
    }
    return st;
}

bool shm_entry_exists(const std::string& name) {
    return shm_entry_status(name).has_value();
}

std::optional<backend> shm_entry_backend(const std::string& name) {
    if (!zorvgst::is_plain_buffer_name(name)) {
        return std::nullopt;
    }
    const auto st = shm_entry_status(name);
    if (!st || !S_ISREG(st->st_mode)) {
        return std::nullopt;
    }
    return st->st_size == 0 ? backend::sysv : backend::posix;
}

} // namespace zorvgst::detail
