// SPDX-License-Identifier: LGPL-2.1-or-later
// Scale-mode vocabulary that hosts read from their configuration.
#include <zorvgst/render.h>

#include "internal/log.h"

scale_mode_t parse_scale_mode(const std::string& text) {
    // "full" wins when both words occur.
    if (text.find("full") != std::string::npos) {
        return SCALE_MODE_FULL;
    }
    if (text.find("bars") != std::string::npos) {
        return SCALE_MODE_BARS;
    }
    ZORV_LOG_WARN("Ignoring Invalid Scale Mode: " << text);
    return SCALE_MODE_FULL;
}
