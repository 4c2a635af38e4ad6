// SPDX-License-Identifier: LGPL-2.1-or-later
// Caps strings that describe the library's frame format, with optional size and rate fields.
#include "internal/log.h"

std::string build_caps_string(uint width, uint height, uint framerate) {
    // Read afresh each call: a host may point the base text elsewhere, or at nothing.
    const char* base = COLORSPACE_CAPS_STRING;
    std::string caps;
    // Without a base there is no media type to qualify, so no field is added either.
    if (base != nullptr) {
        caps = base;
        if (width != 0) {
            caps += ",width=" + std::to_string(width);
        }
        if (height != 0) {
            caps += ",height=" + std::to_string(height);
        }
        if (framerate != 0) {
            caps += ",framerate=" + std::to_string(framerate) + "/1";
        }
    }
    ZORV_LOG_TRACE("Built Caps: " << caps);
    return caps;
}
