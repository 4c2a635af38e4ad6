// SPDX-License-Identifier: LGPL-2.1-or-later
// Overlay blending: the exact formula for every (base, overlay, alpha) on every kernel, placement.
#include <gtest/gtest.h>

#include <zorvgst/render.h>

#include "internal/render/blend_kernels.h"
#include "support/capture_appender.h"
#include "support/case_name.h"
#include "support/frames.h"

namespace {

using zorvgst::detail::blend_row_fn;
using zorvtest::first_difference;
using zorvtest::LogCapture;

std::uint8_t reference(unsigned b, unsigned o, unsigned a) {
    return static_cast<std::uint8_t>((b * (255 - a) + o * a) / 255);
}

/// Reference result of blending `overlay` over `base` (both width x height) into `dst`.
void reference_blend(const std::vector<std::uint8_t>& base,
                     const std::vector<std::uint8_t>& overlay, std::vector<std::uint8_t>& dst,
                     uint width, uint height, uint x, uint y, uint dst_width) {
    for (uint r = 0; r < height; ++r) {
        for (uint c = 0; c < width; ++c) {
            const size_t s = (size_t{r} * width + c) * 4;
            const size_t d = ((size_t{y} + r) * dst_width + x + c) * 4;
            const unsigned a = overlay[s + 3];
            for (size_t ch = 0; ch < 3; ++ch) {
                dst[d + ch] = reference(base[s + ch], overlay[s + ch], a);
            }
            dst[d + 3] = base[s + 3];
        }
    }
}

struct kernel_case {
    const char* name;
    blend_row_fn kernel;
    bool needs_avx2;
};

class BlendKernel : public ::testing::TestWithParam<kernel_case> {
protected:
    void SetUp() override {
        if (GetParam().needs_avx2 && !zorvgst::detail::cpu_has_avx2()) {
            GTEST_SKIP() << "this CPU has no AVX2";
        }
    }

    // Runs the kernel over `pixels` in uneven pieces from unaligned addresses, so the vector
    // bodies, their shortcuts and the scalar tails all take part.
    void run(const std::vector<std::uint8_t>& base, const std::vector<std::uint8_t>& overlay,
             std::vector<std::uint8_t>& dst) {
        const size_t pixels = base.size() / 4;
        // One pixel of slack ahead of each area puts every piece off a 16-byte boundary.
        std::vector<std::uint8_t> b(base.size() + 4), o(overlay.size() + 4), d(dst.size() + 8);
        std::copy(base.begin(), base.end(), b.begin() + 4);
        std::copy(overlay.begin(), overlay.end(), o.begin() + 4);
        std::fill(d.begin(), d.end(), 0xEE);
        static const size_t pieces[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 1000};
        size_t done = 0;
        for (size_t k = 0; done < pixels; ++k) {
            const size_t n = std::min(pieces[k % std::size(pieces)], pixels - done);
            GetParam().kernel(b.data() + 4 + done * 4, o.data() + 4 + done * 4,
                              d.data() + 4 + done * 4, n);
            done += n;
        }
        for (size_t i : {size_t{0}, size_t{1}, size_t{2}, size_t{3}}) {
            ASSERT_EQ(d[i], 0xEE) << "kernel wrote before its destination";
            ASSERT_EQ(d[d.size() - 1 - i], 0xEE) << "kernel wrote past its destination";
        }
        std::copy(d.begin() + 4, d.begin() + 4 + dst.size(), dst.begin());
    }
};

// All 2^24 (b, o, a) combinations, twice: once with the alpha changing from pixel to pixel (the
// arithmetic path for every alpha, 0 and 255 included) and once with runs of equal alpha (the
// transparent and opaque shortcuts). The blue byte carries (b, o); green and red carry other
// pairs, and the base alpha varies so its pass-through is checked too.
TEST_P(BlendKernel, MatchesFormulaForEveryBaseOverlayAndAlpha) {
    const size_t pixels = 65536;
    std::vector<std::uint8_t> base(pixels * 4), overlay(pixels * 4), dst(pixels * 4);
    std::vector<std::uint8_t> expected(pixels * 4);
    for (int pass = 0; pass < 2; ++pass) {
        for (unsigned b = 0; b < 256; ++b) {
            for (size_t p = 0; p < pixels; ++p) {
                const unsigned low = p & 255, high = p >> 8;
                const unsigned o = pass == 0 ? high : low;
                const unsigned a = pass == 0 ? low : high;
                const std::uint8_t pb[4] = {std::uint8_t(b), std::uint8_t(255 - o), std::uint8_t(o),
                                            std::uint8_t(b ^ p)};
                const std::uint8_t po[4] = {std::uint8_t(o), std::uint8_t(b), std::uint8_t(255 - b),
                                            std::uint8_t(a)};
                for (size_t ch = 0; ch < 4; ++ch) {
                    base[p * 4 + ch] = pb[ch];
                    overlay[p * 4 + ch] = po[ch];
                }
                for (size_t ch = 0; ch < 3; ++ch) {
                    expected[p * 4 + ch] = reference(pb[ch], po[ch], a);
                }
                expected[p * 4 + 3] = pb[3];
            }
            run(base, overlay, dst);
            ASSERT_EQ(first_difference(dst, expected), "") << "pass " << pass << ", b " << b;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, BlendKernel,
    ::testing::Values(kernel_case{"Scalar", zorvgst::detail::blend_row_scalar, false},
                      kernel_case{"Sse2", zorvgst::detail::blend_row_sse2, false},
                      kernel_case{"Avx2", zorvgst::detail::blend_row_avx2, true}),
    zorvtest::case_name());

TEST(BlendFormula, WorkedExamples) {
    EXPECT_EQ(reference(10, 250, 100), 104);
    EXPECT_EQ(reference(255, 0, 128), 127);
    EXPECT_EQ(reference(0, 255, 128), 128);
}

struct overlay_case {
    const char* name;
    uint width, height, x, y, dst_width, dst_height;
    int alpha; // -1: a different alpha per pixel
};

class RenderWithOverlay : public ::testing::TestWithParam<overlay_case> {};

TEST_P(RenderWithOverlay, BlendsRectangleAndLeavesTheRestUntouched) {
    const overlay_case& c = GetParam();
    const size_t bytes = size_t{c.width} * c.height * 4;
    const auto base = zorvtest::pattern_bytes(bytes, 3);
    auto overlay = zorvtest::pattern_bytes(bytes, 4);
    if (c.alpha >= 0) {
        for (size_t p = 3; p < bytes; p += 4) {
            overlay[p] = static_cast<std::uint8_t>(c.alpha);
        }
    }
    auto dst = zorvtest::filled_bytes(size_t{c.dst_width} * c.dst_height * 4);
    auto expected = dst;
    reference_blend(base, overlay, expected, c.width, c.height, c.x, c.y, c.dst_width);

    LogCapture capture;
    render_with_overlay(base.data(), overlay.data(), dst.data(), c.width, c.height, c.x, c.y,
                        c.dst_width);

    EXPECT_EQ(first_difference(dst, expected), "");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, log4cxx::Level::TRACE_INT);
    EXPECT_EQ(lines[0].message, "Render " + std::to_string(c.width) + ":" +
                                    std::to_string(c.height) + " -> " + std::to_string(c.x) + "," +
                                    std::to_string(c.y) + "(" + std::to_string(c.dst_width) + ")");
    EXPECT_EQ(lines[0].function, "void render_with_overlay(const guint8*, const guint8*, guint8*, "
                                 "uint, uint, uint, uint, uint)");
}

INSTANTIATE_TEST_SUITE_P(
    Placements, RenderWithOverlay,
    ::testing::Values(overlay_case{"TransparentIsBase", 4, 2, 0, 0, 4, 2, 0},
                      overlay_case{"OpaqueIsOverlayColourWithBaseAlpha", 4, 2, 0, 0, 4, 2, 255},
                      overlay_case{"HalfAlpha", 4, 2, 0, 0, 4, 2, 128},
                      overlay_case{"MixedAlphaAtOrigin", 4, 2, 0, 0, 4, 2, -1},
                      overlay_case{"OffsetKeepsLeadingPixels", 4, 2, 2, 1, 6, 3, -1},
                      overlay_case{"SameWidthBelowOrigin", 4, 2, 0, 1, 4, 4, -1},
                      overlay_case{"WideRowsMixVectorAndTail", 37, 3, 5, 2, 45, 6, -1},
                      overlay_case{"ZeroWidth", 0, 2, 1, 1, 4, 4, -1},
                      overlay_case{"ZeroHeight", 4, 0, 1, 1, 6, 2, -1}),
    zorvtest::case_name());

TEST(RenderWithOverlayValues, OpaqueAndTransparentFramesGiveExactBytes) {
    // Base colour 255, overlay colour 0 at alpha 128 gives 127; the reverse gives 128.
    std::vector<std::uint8_t> base = {255, 255, 255, 9, 0, 0, 0, 10};
    std::vector<std::uint8_t> overlay = {0, 0, 0, 128, 255, 255, 255, 128};
    std::vector<std::uint8_t> dst(8, 0xEE);
    render_with_overlay(base.data(), overlay.data(), dst.data(), 2, 1, 0, 0, 2);
    EXPECT_EQ(dst, (std::vector<std::uint8_t>{127, 127, 127, 9, 128, 128, 128, 10}));
}

} // namespace
