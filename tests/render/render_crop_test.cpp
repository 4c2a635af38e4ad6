// SPDX-License-Identifier: LGPL-2.1-or-later
// Cropping core: kept rectangle placed exactly, margins validated, trace and error lines.
#include <gtest/gtest.h>

#include <zorvgst/render.h>

#include "support/capture_appender.h"
#include "support/case_name.h"
#include "support/frames.h"

namespace {

using zorvtest::first_difference;
using zorvtest::LogCapture;

const char* const crop_signature = "void render_with_cropping(const guint8*, guint8*, uint, uint, "
                                   "uint, uint, uint, uint, uint, uint, uint)";

struct crop_case {
    const char* name;
    uint width, height, x, y, dst_width, dst_height, left, right, top, bottom;
    bool single_copy;
};

class RenderWithCropping : public ::testing::TestWithParam<crop_case> {};

TEST_P(RenderWithCropping, CopiesKeptRectangleOnlyAndLeavesTheRestUntouched) {
    const crop_case& c = GetParam();
    auto frames = zorvtest::placement_of(c.width, c.height, 5, c.x, c.y, c.dst_width, c.dst_height,
                                         {c.left, c.right, c.top, c.bottom});

    LogCapture capture;
    render_with_cropping(frames.src.data(), frames.dst.data(), c.width, c.height, c.x, c.y,
                         c.dst_width, c.left, c.right, c.top, c.bottom);

    EXPECT_EQ(first_difference(frames.dst, frames.expected), "");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, log4cxx::Level::TRACE_INT);
    EXPECT_EQ(lines[0].function, crop_signature);
    EXPECT_EQ(lines[0].message, "Render with Cropping " + std::to_string(c.width) + ":" +
                                    std::to_string(c.height) + " -> " + std::to_string(c.x) + "," +
                                    std::to_string(c.y) + "(" + std::to_string(c.dst_width) + ")" +
                                    (c.single_copy ? " -- Single memcpy" : ""));
}

INSTANTIATE_TEST_SUITE_P(
    Margins, RenderWithCropping,
    ::testing::Values(crop_case{"NothingCropped", 4, 2, 0, 0, 4, 2, 0, 0, 0, 0, true},
                      crop_case{"ColumnOffsetOnly", 4, 2, 1, 0, 5, 2, 0, 0, 0, 0, false},
                      crop_case{"LeftAndRight", 4, 2, 0, 0, 4, 2, 1, 1, 0, 0, false},
                      crop_case{"TopOnly", 4, 2, 0, 0, 4, 2, 0, 0, 1, 0, false},
                      crop_case{"AllMarginsPlaced", 6, 4, 2, 1, 7, 4, 1, 2, 1, 1, false},
                      crop_case{"WholeWidthCropped", 4, 2, 0, 0, 4, 2, 2, 2, 0, 0, false},
                      crop_case{"WholeHeightCropped", 4, 2, 0, 0, 4, 2, 0, 0, 1, 1, false},
                      crop_case{"LargerFrame", 100, 50, 0, 0, 70, 45, 10, 20, 5, 0, false}),
    zorvtest::case_name());

struct bad_crop_case {
    const char* name;
    uint left, right, top, bottom;
    const char* message;
};

class RenderWithCroppingInvalid : public ::testing::TestWithParam<bad_crop_case> {};

TEST_P(RenderWithCroppingInvalid, LogsBothGroupsAndCopiesNothing) {
    const bad_crop_case& c = GetParam();
    const auto src = zorvtest::pattern_bytes(4 * 2 * 4, 7);
    auto dst = zorvtest::filled_bytes(4 * 2 * 4);
    const auto before = dst;
    LogCapture capture;
    render_with_cropping(src.data(), dst.data(), 4, 2, 0, 0, 4, c.left, c.right, c.top, c.bottom);
    EXPECT_EQ(dst, before);
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, log4cxx::Level::ERROR_INT);
    EXPECT_EQ(lines[0].message, c.message);
    EXPECT_EQ(lines[0].function, crop_signature);
}

INSTANTIATE_TEST_SUITE_P(
    Margins, RenderWithCroppingInvalid,
    ::testing::Values(
        bad_crop_case{"OneColumnTooMany", 3, 2, 0, 0,
                      "Render Halted -- Invalid Crop Parameters: (4,3,2) (2,0,0) "},
        bad_crop_case{"OneRowTooMany", 0, 0, 2, 1,
                      "Render Halted -- Invalid Crop Parameters: (4,0,0) (2,2,1) "},
        // 2^32 - 1 + 2 wraps to 1 in 32 bits; it must not pass for a valid crop.
        bad_crop_case{"MarginsThatWrap", 4294967295u, 2, 0, 0,
                      "Render Halted -- Invalid Crop Parameters: (4,4294967295,2) (2,0,0) "},
        bad_crop_case{"RowsThatWrap", 0, 0, 3, 4294967295u,
                      "Render Halted -- Invalid Crop Parameters: (4,0,0) (2,3,4294967295) "}),
    zorvtest::case_name());

TEST(RenderWithCroppingLogging, InvalidCropIsSilentWhenErrorIsOffAndTraceNeedsTrace) {
    const auto src = zorvtest::pattern_bytes(32, 8);
    auto dst = zorvtest::filled_bytes(32);
    LogCapture capture(log4cxx::Level::getFatal());
    render_with_cropping(src.data(), dst.data(), 4, 2, 0, 0, 4, 5, 0, 0, 0);
    render_with_cropping(src.data(), dst.data(), 4, 2, 0, 0, 4, 0, 0, 0, 0);
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(dst, src);
}

} // namespace
