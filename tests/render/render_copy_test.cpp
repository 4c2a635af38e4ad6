// SPDX-License-Identifier: LGPL-2.1-or-later
// Copy core, scale-mode parsing and caps strings: exact bytes, untouched surroundings, log lines.
#include <gtest/gtest.h>

#include <zorvgst/library.h>
#include <zorvgst/render.h>

#include "support/capture_appender.h"
#include "support/case_name.h"
#include "support/frames.h"

namespace {

using zorvtest::first_difference;
using zorvtest::LogCapture;

const char* const copy_signature =
    "void render(const guint8*, guint8*, uint, uint, uint, uint, uint)";

struct copy_case {
    const char* name;
    uint width, height, x, y, dst_width, dst_height;
    bool single_copy;
};

class RenderCopy : public ::testing::TestWithParam<copy_case> {};

TEST_P(RenderCopy, PlacesEveryByteAndLeavesTheRestUntouched) {
    const copy_case& c = GetParam();
    auto frames = zorvtest::placement_of(c.width, c.height, 1, c.x, c.y, c.dst_width, c.dst_height);

    LogCapture capture;
    render(frames.src.data(), frames.dst.data(), c.width, c.height, c.x, c.y, c.dst_width);

    EXPECT_EQ(first_difference(frames.dst, frames.expected), "");
    const std::string line = "Render " + std::to_string(c.width) + ":" + std::to_string(c.height) +
                             " -> " + std::to_string(c.x) + "," + std::to_string(c.y) + "(" +
                             std::to_string(c.dst_width) + ")" +
                             (c.single_copy ? " -- Single memcpy" : "");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, line);
    EXPECT_EQ(lines[0].level, log4cxx::Level::TRACE_INT);
    EXPECT_EQ(lines[0].file, "zorvgst");
    EXPECT_EQ(lines[0].function, copy_signature);
}

INSTANTIATE_TEST_SUITE_P(
    Placements, RenderCopy,
    ::testing::Values(copy_case{"SameLayoutAtOrigin", 4, 2, 0, 0, 4, 2, true},
                      copy_case{"OneWiderKeepsLastPixelOfEachRow", 4, 2, 0, 0, 5, 2, false},
                      copy_case{"OffsetColumnAndRow", 4, 2, 3, 2, 8, 5, false},
                      copy_case{"RightEdgeOfWiderFrame", 4, 2, 4, 1, 8, 3, false},
                      copy_case{"SameWidthBelowOrigin", 4, 2, 0, 1, 4, 3, false},
                      copy_case{"SinglePixel", 1, 1, 2, 1, 3, 2, false},
                      copy_case{"ZeroHeightOffOrigin", 4, 0, 1, 1, 6, 3, false},
                      copy_case{"ZeroHeightAtOrigin", 4, 0, 0, 0, 4, 1, true}),
    zorvtest::case_name());

TEST(RenderCopyLogging, TraceLineIsNotBuiltBelowTraceLevel) {
    const auto src = zorvtest::pattern_bytes(32, 2);
    auto dst = zorvtest::filled_bytes(32);
    LogCapture capture(log4cxx::Level::getDebug());
    render(src.data(), dst.data(), 4, 2, 0, 0, 4);
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(dst, src);
}

struct scale_case {
    const char* name;
    std::string text;
    scale_mode_t mode;
    bool warns;
};

class ParseScaleMode : public ::testing::TestWithParam<scale_case> {};

TEST_P(ParseScaleMode, MapsTextAndWarnsOnlyWhenUnrecognised) {
    LogCapture capture;
    EXPECT_EQ(parse_scale_mode(GetParam().text), GetParam().mode);
    const auto lines = capture.lines();
    if (GetParam().warns) {
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, log4cxx::Level::WARN_INT);
        EXPECT_EQ(lines[0].message, "Ignoring Invalid Scale Mode: " + GetParam().text);
        EXPECT_EQ(lines[0].function, "scale_mode_t parse_scale_mode(const std::string&)");
    } else {
        EXPECT_TRUE(lines.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseScaleMode,
    ::testing::Values(scale_case{"Full", "full", SCALE_MODE_FULL, false},
                      scale_case{"Bars", "bars", SCALE_MODE_BARS, false},
                      scale_case{"BarsInsideLongerText", "letterbox-bars", SCALE_MODE_BARS, false},
                      scale_case{"FullTestedFirst", "barsfull", SCALE_MODE_FULL, false},
                      scale_case{"CaseSensitive", "Bars", SCALE_MODE_FULL, true},
                      scale_case{"Empty", "", SCALE_MODE_FULL, true},
                      scale_case{"Unrelated", " stretch ", SCALE_MODE_FULL, true}),
    zorvtest::case_name());

class BuildCapsString : public ::testing::Test {
protected:
    void TearDown() override { COLORSPACE_CAPS_STRING = saved_; }
    const char* saved_ = COLORSPACE_CAPS_STRING;
};

TEST_F(BuildCapsString, AppendsOnlyNonZeroFieldsAndLogsResult) {
    const std::string base =
        "video/x-raw,format=BGRA,interlace-mode=progressive,pixel-aspect-ratio=1/1";
    LogCapture capture;
    EXPECT_EQ(build_caps_string(1920, 1080, 30), base + ",width=1920,height=1080,framerate=30/1");
    EXPECT_EQ(build_caps_string(640, 0, 25), base + ",width=640,framerate=25/1");
    EXPECT_EQ(build_caps_string(0, 480, 0), base + ",height=480");
    EXPECT_EQ(build_caps_string(0, 0, 0), base);
    EXPECT_EQ(build_caps_string(4294967295u, 1, 1),
              base + ",width=4294967295,height=1,framerate=1/1");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1].message, "Built Caps: " + base + ",width=640,framerate=25/1");
    EXPECT_EQ(lines[1].level, log4cxx::Level::TRACE_INT);
    EXPECT_EQ(lines[1].function, "std::string build_caps_string(uint, uint, uint)");
}

TEST_F(BuildCapsString, ReadsBaseAtEachCallAndTreatsNullAsEmpty) {
    COLORSPACE_CAPS_STRING = "video/x-raw,format=BGRA";
    EXPECT_EQ(build_caps_string(2, 0, 0), "video/x-raw,format=BGRA,width=2");

    COLORSPACE_CAPS_STRING = nullptr;
    LogCapture capture;
    EXPECT_EQ(build_caps_string(640, 480, 30), "");
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].message, "Built Caps: ");
}

TEST_F(BuildCapsString, ParsesAsCapsGStreamerAccepts) {
    GstCaps* caps = gst_caps_from_string(build_caps_string(4, 2, 30).c_str());
    ASSERT_NE(caps, nullptr);
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    int width = 0, height = 0;
    EXPECT_TRUE(gst_structure_get_int(s, "width", &width));
    EXPECT_TRUE(gst_structure_get_int(s, "height", &height));
    EXPECT_EQ(width, 4);
    EXPECT_EQ(height, 2);
    EXPECT_STREQ(gst_structure_get_string(s, "format"), "BGRA");
    gst_caps_unref(caps);
}

} // namespace
