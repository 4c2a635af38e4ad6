// SPDX-License-Identifier: LGPL-2.1-or-later
// Which strings name a buffer, and which of those supervisors list.
#include <string>

#include <gtest/gtest.h>

#include <zorvgst/buffer_name.h>

using namespace std::string_literals;

namespace {

TEST(BufferName, PlainNamesAreOneEntryOfTheDirectory) {
    for (const std::string name : {"a", "camera_buffer", ".hidden", "...", "x\ny", "_buffer"}) {
        EXPECT_TRUE(zorvgst::is_plain_buffer_name(name)) << name;
    }
    for (const std::string name : {"", ".", "..", "/camera_buffer", "a/b", "../camera_buffer"}) {
        EXPECT_FALSE(zorvgst::is_plain_buffer_name(name)) << name;
    }
}

TEST(BufferName, ListedNamesArePlainAndEndInTheSuffix) {
    for (const std::string name :
         {"camera_buffer", "_buffer", "cam_overlay_buffer", "a\n_buffer"}) {
        EXPECT_TRUE(zorvgst::is_listed_buffer_name(name)) << name;
    }
    // A line break after the suffix is no end of the name; a path is no name.
    for (const std::string& name : {"camera"s, "camera_buffers"s, "camera_buffer\nrest"s, "buffer"s,
                                    "a/camera_buffer"s, ""s, "x_buffer\0"s}) {
        EXPECT_FALSE(zorvgst::is_listed_buffer_name(name)) << name;
    }
}

} // namespace
