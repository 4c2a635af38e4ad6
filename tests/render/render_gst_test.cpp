// SPDX-License-Identifier: LGPL-2.1-or-later
// Rendering adapters with real double buffers, GstSamples and GstBuffers: bytes, publication,
// grab nesting, messages, refusals of what does not fit, and release of every mapping.
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

#include <zorvgst/double_buffer.h>
#include <zorvgst/library.h>
#include <zorvgst/posix_double_buffer.h>
#include <zorvgst/render.h>

#include "support/capture_appender.h"
#include "support/case_name.h"
#include "support/frames.h"
#include "support/shm_guard.h"

namespace {

namespace bip = boost::interprocess;
using bytes_t = std::vector<std::uint8_t>;
using zorvtest::first_difference;
using zorvtest::LogCapture;

constexpr uint W = 4, H = 2;
constexpr size_t frame_size = W * H * 4;

GstBuffer* buffer_with(const bytes_t& bytes) {
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, bytes.size(), nullptr);
    gst_buffer_fill(buffer, 0, bytes.data(), bytes.size());
    return buffer;
}

bytes_t contents(GstBuffer* buffer) {
    bytes_t out(gst_buffer_get_size(buffer));
    gst_buffer_extract(buffer, 0, out.data(), out.size());
    return out;
}

/// A sample of `bytes` whose caps come from build_caps_string, or from `caps_text` if given.
GstSample* sample_with(const bytes_t& bytes, uint width, uint height,
                       const char* caps_text = nullptr) {
    GstBuffer* buffer = buffer_with(bytes);
    GstCaps* caps =
        gst_caps_from_string(caps_text ? caps_text : build_caps_string(width, height, 30).c_str());
    GstSample* sample = gst_sample_new(buffer, caps, nullptr, nullptr);
    gst_buffer_unref(buffer);
    gst_caps_unref(caps);
    return sample;
}

int memory_refcount(GstBuffer* buffer) {
    return GST_MINI_OBJECT_REFCOUNT_VALUE(gst_buffer_peek_memory(buffer, 0));
}

/// True when the buffer's memory can be mapped for writing, i.e. nothing still holds a mapping.
bool unmapped(GstBuffer* buffer) {
    GstMapInfo info;
    if (!gst_buffer_map(buffer, &info, GST_MAP_WRITE)) {
        return false;
    }
    gst_buffer_unmap(buffer, &info);
    return true;
}

class RenderAdapters : public ::testing::Test {
protected:
    zorvtest::ShmGuard guard_{"_main"};
    zorvtest::ShmGuard overlay_guard_{"_overlay"};
    double_buffer_t writer_{guard_.c_str(), bip::read_write, W, H};
    double_buffer_t reader_{guard_.c_str(), bip::read_only};
    const bytes_t frame_ = zorvtest::pattern_bytes(frame_size, 1);

    void SetUp() override {
        ASSERT_TRUE(writer_.is_valid());
        ASSERT_TRUE(reader_.is_valid());
    }

    std::uint64_t frame_count() const {
        posix_double_buffer_t probe(guard_.c_str(), bip::read_only);
        return probe.get_header() ? probe.get_header()->frame_count : ~0ull;
    }
    std::uint32_t indicator() const {
        posix_double_buffer_t probe(guard_.c_str(), bip::read_only);
        return probe.get_header() ? probe.get_header()->buffer_indicator : ~0u;
    }
    bytes_t published() const {
        const guint8* slot = reader_.get_read_address();
        return bytes_t(slot, slot + frame_size);
    }
    void publish(double_buffer_t& writer, const bytes_t& bytes) {
        std::memcpy(writer.get_write_address(), bytes.data(), bytes.size());
        writer.release_write_sem();
    }
};

TEST_F(RenderAdapters, RawFramePublishedWithSingleCopy) {
    LogCapture capture;
    const guint8* write_slot = writer_.get_write_address();
    render(frame_.data(), writer_, W, H, 0, 0, W);
    EXPECT_EQ(frame_count(), 1u);
    EXPECT_EQ(indicator(), 1u);
    EXPECT_EQ(writer_.get_read_address(), write_slot); // the slot written is now the newest
    EXPECT_EQ(first_difference(published(), frame_), "");
    EXPECT_EQ(capture.with_message("Render 4:2 -> 0,0(4) -- Single memcpy").size(), 1u);
}

TEST_F(RenderAdapters, RawRectangleLandsInWriteSlotAtOffset) {
    const bytes_t small = zorvtest::pattern_bytes(2 * 1 * 4, 2);
    bytes_t expected(writer_.get_write_address(), writer_.get_write_address() + frame_size);
    zorvtest::place_rectangle(small, 2, 0, 0, 2, 1, expected, 1, 1, W);
    render(small.data(), writer_, 2, 1, 1, 1, W);
    EXPECT_EQ(first_difference(published(), expected), "");
}

TEST_F(RenderAdapters, NewestFrameCopiedToRawMemory) {
    publish(writer_, frame_);
    bytes_t dst = zorvtest::filled_bytes(6 * 3 * 4), expected = dst;
    zorvtest::place_rectangle(frame_, W, 0, 0, W, H, expected, 1, 1, 6);
    render(reader_, dst.data(), W, H, 1, 1, 6);
    EXPECT_EQ(first_difference(dst, expected), "");
}

TEST_F(RenderAdapters, GstBufferFilledWithReadSideGrabbedTwice) {
    publish(writer_, frame_);
    GstBuffer* buffer = buffer_with(zorvtest::filled_bytes(frame_size));
    LogCapture capture;
    render(reader_, buffer, W, H, 0, 0, W);
    EXPECT_EQ(first_difference(contents(buffer), frame_), "");
    // release_read_sem traces one "Read: " line per call: the nested bracket runs twice.
    EXPECT_EQ(capture.containing("Read: ").size(), 2u);
    EXPECT_EQ(memory_refcount(buffer), 1);
    EXPECT_TRUE(unmapped(buffer));
    gst_buffer_unref(buffer);
}

TEST_F(RenderAdapters, SharedGstBufferIsNotWritten) {
    publish(writer_, frame_);
    const bytes_t before = zorvtest::filled_bytes(frame_size);
    GstBuffer* buffer = buffer_with(before);
    gst_buffer_ref(buffer);
    LogCapture capture;
    render(reader_, buffer, W, H, 0, 0, W);
    render_with_cropping(reader_, buffer, W, H, 0, 0, W, 0, 0, 0, 0);
    render_with_overlay(reader_, reader_, buffer, W, H, 0, 0, W);
    EXPECT_EQ(capture.with_message("Buffer Is Not Writeable").size(), 3u);
    EXPECT_EQ(contents(buffer), before);
    gst_buffer_unref(buffer);
    gst_buffer_unref(buffer);
}

TEST_F(RenderAdapters, MultiBlockGstBufferReceivesTheFrame) {
    publish(writer_, frame_);
    GstBuffer* buffer = buffer_with(zorvtest::filled_bytes(frame_size / 2));
    gst_buffer_append(buffer, buffer_with(zorvtest::filled_bytes(frame_size / 2)));
    ASSERT_EQ(gst_buffer_n_memory(buffer), 2u);
    render(reader_, buffer, W, H, 0, 0, W);
    EXPECT_EQ(first_difference(contents(buffer), frame_), "");
    EXPECT_TRUE(unmapped(buffer));
    gst_buffer_unref(buffer);
}

TEST_F(RenderAdapters, ReadOnlyMemoryReportsFailedMapWithSize) {
    publish(writer_, frame_);
    static guint8 storage[frame_size] = {};
    GstBuffer* buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, storage, frame_size,
                                                    0, frame_size, nullptr, nullptr);
    LogCapture capture;
    render(reader_, buffer, W, H, 0, 0, W);
    const auto failed =
        capture.with_message("gst_buffer_map() Failed -- Not Writing to Buffer of Size: 32");
    ASSERT_EQ(failed.size(), 1u);
    // The line names the function the host called, not the check it shares with the others.
    EXPECT_EQ(failed[0].function,
              "void render(double_buffer_t&, GstBuffer*, uint, uint, uint, uint, uint)");
    EXPECT_EQ(bytes_t(storage, storage + frame_size), bytes_t(frame_size, 0));
    EXPECT_EQ(memory_refcount(buffer), 1);
    gst_buffer_unref(buffer);
}

TEST_F(RenderAdapters, SamplePublishedWithSizeFromCaps) {
    GstSample* sample = sample_with(frame_, W, H);
    LogCapture capture;
    render(sample, writer_, 0, 0, W);
    EXPECT_EQ(frame_count(), 1u);
    EXPECT_EQ(first_difference(published(), frame_), "");
    const auto debug = capture.with_message("render() -- Width: 4 Height: 2");
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0].level, log4cxx::Level::DEBUG_INT);
    EXPECT_EQ(debug[0].function, "void render(GstSample*, double_buffer_t&, uint, uint, uint)");
    EXPECT_EQ(capture.with_message("Render 4:2 -> 0,0(4) -- Single memcpy").size(), 1u);
    EXPECT_TRUE(unmapped(gst_sample_get_buffer(sample)));
    gst_sample_unref(sample);
}

struct bad_sample_case {
    const char* name;
    const char* caps;     // nullptr: built for 4x2
    size_t buffer_bytes;  // what the sample's buffer holds
    const char* fragment; // of the error line
};

class RenderBadSample : public RenderAdapters,
                        public ::testing::WithParamInterface<bad_sample_case> {};

TEST_P(RenderBadSample, PublishesNothingAndLogsError) {
    const bad_sample_case& c = GetParam();
    GstSample* sample = sample_with(bytes_t(c.buffer_bytes, 7), W, H, c.caps);
    GstSample* overlay = sample_with(bytes_t(c.buffer_bytes, 9), W, H, c.caps);
    LogCapture capture;
    render(sample, writer_, 0, 0, W);
    render_with_overlay(sample, overlay, writer_, 0, 0, W);
    EXPECT_EQ(frame_count(), 0u);
    EXPECT_EQ(capture.containing(c.fragment).size(), 2u);
    EXPECT_EQ(capture.count_at(log4cxx::Level::ERROR_INT), 2u);
    EXPECT_TRUE(unmapped(gst_sample_get_buffer(sample)));
    gst_sample_unref(sample);
    gst_sample_unref(overlay);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, RenderBadSample,
    ::testing::Values(bad_sample_case{"NoWidth", "video/x-raw,format=BGRA,height=2", frame_size,
                                      "Caps Without Valid Width and Height"},
                      bad_sample_case{"NoHeight", "video/x-raw,format=BGRA,width=4", frame_size,
                                      "Caps Without Valid Width and Height"},
                      bad_sample_case{"NegativeWidth", "video/x-raw,format=BGRA,width=-4,height=2",
                                      frame_size, "Caps Without Valid Width and Height"},
                      bad_sample_case{
                          "BufferShortOfFrame", nullptr, frame_size - 1,
                          "render() -- Sample of Size: 31 Too Small for Width: 4 Height: 2"}),
    zorvtest::case_name());

TEST_F(RenderAdapters, RectanglesThatDoNotFitAreRefusedWhole) {
    publish(writer_, frame_);
    const auto count = frame_count();
    const bytes_t big = zorvtest::pattern_bytes(5 * 2 * 4, 3);
    GstBuffer* buffer = buffer_with(zorvtest::filled_bytes(frame_size));
    bytes_t dst = zorvtest::filled_bytes(64);
    LogCapture capture;
    render(big.data(), writer_, 5, 2, 0, 0, 5);    // wider than the slot
    render(frame_.data(), writer_, W, H, 1, 0, W); // past the row end
    render(frame_.data(), writer_, W, H, 0, 1, W); // past the last row
    render_with_cropping(big.data(), writer_, 5, 2, 0, 0, 5, 0, 0, 0, 0);
    render(reader_, dst.data(), W, H + 1, 0, 0, W); // more rows than the slot
    render(reader_, buffer, W, H, 0, 1, W);         // below the buffer's end
    render_with_cropping(reader_, buffer, W, H, 1, 0, W, 0, 0, 0, 0);
    render_with_overlay(reader_, reader_, buffer, W, H, 0, 1, W);
    render_with_overlay(big.data(), big.data(), writer_, 5, 2, 0, 0, 5);
    EXPECT_EQ(capture.containing("Render Halted -- ").size(), 9u);
    EXPECT_EQ(frame_count(), count);
    EXPECT_EQ(contents(buffer), zorvtest::filled_bytes(frame_size));
    EXPECT_EQ(dst, zorvtest::filled_bytes(64));
    EXPECT_TRUE(unmapped(buffer));
    gst_buffer_unref(buffer);
}

TEST_F(RenderAdapters, InvalidDoubleBufferIsQuietOrThrowsOnOverlayWrite) {
    zorvtest::ShmGuard missing("_missing");
    double_buffer_t absent(missing.c_str(), bip::read_only);
    GstBuffer* shared = buffer_with(zorvtest::filled_bytes(frame_size));
    gst_buffer_ref(shared); // not writable: a test of writability would say so
    GstSample* sample = sample_with(frame_, W, H);
    bytes_t dst = zorvtest::filled_bytes(frame_size);
    LogCapture capture;
    render(absent, dst.data(), W, H, 0, 0, W);
    render(absent, shared, W, H, 0, 0, W);
    render(frame_.data(), absent, W, H, 0, 0, W);
    render(sample, absent, 0, 0, W);
    render_with_overlay(absent, reader_, dst.data(), W, H, 0, 0, W);
    render_with_overlay(reader_, absent, shared, W, H, 0, 0, W);
    render_with_cropping(absent, dst.data(), W, H, 0, 0, W, 0, 0, 0, 0);
    render_with_cropping(absent, shared, W, H, 0, 0, W, 0, 0, 0, 0);
    render_with_cropping(frame_.data(), absent, W, H, 0, 0, W, 0, 0, 0, 0);
    EXPECT_TRUE(capture.containing("Buffer Is Not Writeable").empty());
    EXPECT_TRUE(capture.containing("render() -- Width").empty());
    EXPECT_EQ(dst, zorvtest::filled_bytes(frame_size));

    // The overlay write side has no validity test: the grab throws, and the sample memory is
    // unmapped and released on the way out.
    EXPECT_THROW(render_with_overlay(sample, sample, absent, 0, 0, W), std::runtime_error);
    EXPECT_THROW(render_with_overlay(frame_.data(), frame_.data(), absent, W, H, 0, 0, W),
                 std::runtime_error);
    GstBuffer* sample_buffer = gst_sample_get_buffer(sample);
    EXPECT_EQ(memory_refcount(sample_buffer), 1);
    gst_buffer_ref(sample_buffer);
    gst_sample_unref(sample);
    EXPECT_TRUE(unmapped(sample_buffer));
    gst_buffer_unref(sample_buffer);
    gst_buffer_unref(shared);
    gst_buffer_unref(shared);
}

class RenderOverlayAdapters : public RenderAdapters {
protected:
    double_buffer_t overlay_writer_{overlay_guard_.c_str(), bip::read_write, W, H};
    double_buffer_t overlay_reader_{overlay_guard_.c_str(), bip::read_only};
    bytes_t overlay_ = zorvtest::pattern_bytes(frame_size, 2); // mixed alphas

    bytes_t blended() const {
        bytes_t out(frame_size);
        render_with_overlay(frame_.data(), overlay_.data(), out.data(), W, H, 0, 0, W);
        return out;
    }
};

TEST_F(RenderOverlayAdapters, DoubleBuffersBlendIntoRawAndGstBufferGrabbingBaseOnce) {
    ASSERT_TRUE(overlay_writer_.is_valid());
    ASSERT_TRUE(overlay_reader_.is_valid());
    publish(writer_, frame_);
    publish(overlay_writer_, overlay_);
    bytes_t dst(frame_size);
    render_with_overlay(reader_, overlay_reader_, dst.data(), W, H, 0, 0, W);
    EXPECT_EQ(first_difference(dst, blended()), "");

    GstBuffer* buffer = buffer_with(zorvtest::filled_bytes(frame_size));
    LogCapture capture;
    render_with_overlay(reader_, overlay_reader_, buffer, W, H, 0, 0, W);
    EXPECT_EQ(first_difference(contents(buffer), blended()), "");
    EXPECT_EQ(capture.containing("Read: ").size(), 1u);
    EXPECT_TRUE(unmapped(buffer));
    gst_buffer_unref(buffer);
}

TEST_F(RenderOverlayAdapters, RawAndSamplesBlendIntoPublishedFrame) {
    render_with_overlay(frame_.data(), overlay_.data(), writer_, W, H, 0, 0, W);
    EXPECT_EQ(frame_count(), 1u);
    EXPECT_EQ(first_difference(published(), blended()), "");

    GstSample* base = sample_with(frame_, W, H);
    GstSample* overlay = sample_with(overlay_, W, H);
    LogCapture capture;
    render_with_overlay(base, overlay, writer_, 0, 0, W);
    EXPECT_EQ(frame_count(), 2u);
    EXPECT_EQ(first_difference(published(), blended()), "");
    EXPECT_EQ(capture.with_message("render() -- Width: 4 Height: 2").size(), 1u);
    EXPECT_TRUE(unmapped(gst_sample_get_buffer(base)));
    EXPECT_TRUE(unmapped(gst_sample_get_buffer(overlay)));
    gst_sample_unref(base);
    gst_sample_unref(overlay);
}

TEST_F(RenderOverlayAdapters, OverlaySampleMapFailureLeavesNothingMappedOrReferenced) {
    GstSample* base = sample_with(frame_, W, H);
    GstSample* overlay = sample_with(overlay_, W, H);
    GstBuffer* overlay_buffer = gst_sample_get_buffer(overlay);
    GstMapInfo held; // mapped for writing, so a read mapping must fail
    ASSERT_TRUE(gst_buffer_map(overlay_buffer, &held, GST_MAP_WRITE));
    LogCapture capture;
    render_with_overlay(base, overlay, writer_, 0, 0, W);
    gst_buffer_unmap(overlay_buffer, &held);
    EXPECT_EQ(capture.with_message("gst_memory_map() Failed -- Not Writing to Buffer").size(), 1u);
    EXPECT_EQ(frame_count(), 0u);
    EXPECT_EQ(memory_refcount(gst_sample_get_buffer(base)), 1);
    EXPECT_EQ(memory_refcount(overlay_buffer), 1);
    EXPECT_TRUE(unmapped(gst_sample_get_buffer(base)));
    gst_sample_unref(base);
    gst_sample_unref(overlay);
}

TEST_F(RenderAdapters, CroppedFrameThroughEachAdapter) {
    publish(writer_, frame_);
    bytes_t expected = zorvtest::filled_bytes(frame_size);
    zorvtest::place_rectangle(frame_, W, 1, 1, 2, 1, expected, 2, 0, W);

    bytes_t dst = zorvtest::filled_bytes(frame_size);
    render_with_cropping(reader_, dst.data(), W, H, 2, 0, W, 1, 1, 1, 0);
    EXPECT_EQ(first_difference(dst, expected), "");

    GstBuffer* buffer = buffer_with(zorvtest::filled_bytes(frame_size));
    render_with_cropping(reader_, buffer, W, H, 2, 0, W, 1, 1, 1, 0);
    EXPECT_EQ(first_difference(contents(buffer), expected), "");
    gst_buffer_unref(buffer);

    bytes_t slot(writer_.get_write_address(), writer_.get_write_address() + frame_size);
    zorvtest::place_rectangle(frame_, W, 1, 1, 2, 1, slot, 2, 0, W);
    render_with_cropping(frame_.data(), writer_, W, H, 2, 0, W, 1, 1, 1, 0);
    EXPECT_EQ(frame_count(), 2u);
    EXPECT_EQ(first_difference(published(), slot), "");
}

TEST_F(RenderAdapters, InvalidCropIntoDoubleBufferPublishesNothing) {
    LogCapture capture;
    render_with_cropping(frame_.data(), writer_, W, H, 0, 0, W, 3, 2, 0, 0);
    EXPECT_EQ(
        capture.with_message("Render Halted -- Invalid Crop Parameters: (4,3,2) (2,0,0) ").size(),
        1u);
    EXPECT_EQ(frame_count(), 0u);
}

} // namespace
