// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvdbsink's write-slot pool: frames drawn in place, and every case that must fall back to a
// copy.
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gst/check/gstharness.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include "plugin_env.h"
#include "support/child_process.h"
#include "support/shm_guard.h"

namespace {

using namespace std::chrono_literals;
using zorvtest::ShmGuard;

std::string bgra_caps(unsigned width, unsigned height) {
    return "video/x-raw,format=BGRA,width=" + std::to_string(width) +
           ",height=" + std::to_string(height) + ",framerate=30/1";
}

guint64 counter(GstElement* sink, const char* name) {
    guint64 value = 0;
    g_object_get(sink, name, &value, nullptr);
    return value;
}

bool run_to_eos(plugintest::Pipeline& pipeline, std::chrono::milliseconds timeout = 10s) {
    if (pipeline.play() == GST_STATE_CHANGE_FAILURE) {
        return false;
    }
    GstMessage* message = plugintest::wait_for_message(
        pipeline.get(), static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR), timeout);
    const bool eos = message != nullptr && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
    if (message != nullptr) {
        gst_message_unref(message);
    }
    return eos;
}

// Every frame of the "blink" pattern is one colour; a reader that sees two colours in one
// frame read a slot while it was being drawn.
TEST(ZeroCopySink, ReaderProcessSeesWholeFramesDrawnInPlace) {
    ShmGuard guard;
    constexpr unsigned width = 64;
    constexpr unsigned height = 48;
    constexpr unsigned frames = 20;
    const std::string name = guard.name();
    zorvtest::ChildProcess reader([name] {
        const auto deadline = std::chrono::steady_clock::now() + 8s;
        std::uint64_t seen_frames = 0;
        bool saw_black = false;
        bool saw_white = false;
        while (std::chrono::steady_clock::now() < deadline && seen_frames < frames) {
            const plugintest::published_frame frame = plugintest::read_published(name);
            if (frame.frame_count == 0 || frame.pixels.size() != width * height * 4) {
                usleep(2000);
                continue;
            }
            for (std::size_t i = 4; i < frame.pixels.size(); i += 4) {
                if (std::memcmp(&frame.pixels[i], &frame.pixels[0], 4) != 0) {
                    return 3;
                }
            }
            saw_black = saw_black || frame.pixels[0] == 0;
            saw_white = saw_white || frame.pixels[0] == 0xFF;
            seen_frames = frame.frame_count;
            usleep(2000);
        }
        if (seen_frames != frames) {
            return 4;
        }
        return saw_black && saw_white ? 0 : 5;
    });
    plugintest::Pipeline pipeline(
        "videotestsrc pattern=blink num-buffers=" + std::to_string(frames) + " ! " +
        bgra_caps(width, height) + " ! zorvdbsink name=sink buffer-name=" + name);
    ASSERT_TRUE(run_to_eos(pipeline));
    EXPECT_EQ(reader.wait(10s), 0);
    GstElement* sink = pipeline.element("sink");
    // One buffer held as last sample never blocks the next: every frame was drawn in place.
    EXPECT_EQ(counter(sink, "frames-zero-copy"), frames);
    EXPECT_EQ(counter(sink, "frames-copied"), 0u);
    gst_object_unref(sink);
}

TEST(ZeroCopySink, CopiesWhenTurnedOffOrBehindATee) {
    constexpr unsigned frames = 6;
    const auto reference = plugintest::reference_frame("colors", 32, 24);
    const std::vector<std::string> layouts = {
        "videotestsrc pattern=colors num-buffers=6 ! " + bgra_caps(32, 24) +
            " ! zorvdbsink name=sink zero-copy=false sync=false buffer-name=",
        "videotestsrc pattern=colors num-buffers=6 ! " + bgra_caps(32, 24) +
            " ! tee name=t ! queue ! fakesink t. ! queue ! zorvdbsink name=sink sync=false "
            "buffer-name=",
    };
    for (const std::string& layout : layouts) {
        SCOPED_TRACE(layout);
        ShmGuard guard;
        plugintest::Pipeline pipeline(layout + guard.name());
        ASSERT_TRUE(run_to_eos(pipeline));
        GstElement* sink = pipeline.element("sink");
        EXPECT_EQ(counter(sink, "frames-zero-copy"), 0u);
        EXPECT_EQ(counter(sink, "frames-copied"), frames);
        gst_object_unref(sink);
        const plugintest::published_frame seen = plugintest::read_published(guard.name());
        EXPECT_EQ(seen.frame_count, frames);
        EXPECT_EQ(seen.pixels, reference);
    }
}

TEST(ZeroCopySink, SysvBackendDrawsInPlaceToo) {
    ShmGuard guard;
    plugintest::Pipeline pipeline(
        "videotestsrc pattern=colors num-buffers=5 ! " + bgra_caps(32, 24) +
        " ! zorvdbsink name=sink backend=sysv sync=false buffer-name=" + guard.name());
    ASSERT_TRUE(run_to_eos(pipeline));
    GstElement* sink = pipeline.element("sink");
    EXPECT_EQ(counter(sink, "frames-zero-copy"), 5u);
    gst_object_unref(sink);
    const plugintest::published_frame seen = plugintest::read_published(guard.name(), "sysv");
    EXPECT_EQ(seen.frame_count, 5u);
    EXPECT_EQ(seen.pixels, plugintest::reference_frame("colors", 32, 24));
}

// The last sample wraps a slot; once the sink stops and closes its handle, the sample must
// still hold its frame rather than an address that is no longer mapped.
TEST(ZeroCopySink, LastSampleOutlivesTheWriterHandle) {
    ShmGuard guard;
    plugintest::Pipeline pipeline("videotestsrc pattern=colors num-buffers=3 ! " +
                                  bgra_caps(32, 24) +
                                  " ! zorvdbsink name=sink sync=false buffer-name=" + guard.name());
    ASSERT_TRUE(run_to_eos(pipeline));
    GstElement* sink = pipeline.element("sink");
    EXPECT_EQ(counter(sink, "frames-zero-copy"), 3u);
    GstSample* sample = nullptr;
    g_object_get(sink, "last-sample", &sample, nullptr);
    gst_object_unref(sink);
    ASSERT_NE(sample, nullptr);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    // Overwrite the buffer's slots through another writer: the sample must not change.
    ASSERT_TRUE(plugintest::publish_frame(guard.name(), 32, 24, plugintest::make_frame(32, 24, 1)));
    ASSERT_TRUE(plugintest::publish_frame(guard.name(), 32, 24, plugintest::make_frame(32, 24, 2)));
    GstMapInfo map;
    ASSERT_TRUE(gst_buffer_map(gst_sample_get_buffer(sample), &map, GST_MAP_READ));
    EXPECT_EQ(std::vector<guint8>(map.data, map.data + map.size),
              plugintest::reference_frame("colors", 32, 24));
    gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
    gst_sample_unref(sample);
}

TEST(ZeroCopySink, ResizeMidStreamKeepsDrawingInPlaceAtTheNewSize) {
    ShmGuard guard;
    plugintest::Pipeline pipeline("videotestsrc pattern=colors ! capsfilter name=filter caps=\"" +
                                  bgra_caps(64, 48) +
                                  "\" ! zorvdbsink name=sink buffer-name=" + guard.name());
    ASSERT_NE(pipeline.play(), GST_STATE_CHANGE_FAILURE);
    GstElement* sink = pipeline.element("sink");
    GstElement* filter = pipeline.element("filter");
    EXPECT_TRUE(zorvtest::wait_until([&] { return counter(sink, "frames-zero-copy") >= 3; }));

    GstCaps* smaller = gst_caps_from_string(bgra_caps(40, 30).c_str());
    g_object_set(filter, "caps", smaller, nullptr);
    gst_caps_unref(smaller);
    // Not by reading the buffer: a reader mapping it while the sink shrinks it could fault.
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    EXPECT_TRUE(zorvtest::wait_until([&] {
        GstCaps* caps = gst_pad_get_current_caps(pad);
        gint width = 0;
        if (caps != nullptr) {
            gst_structure_get_int(gst_caps_get_structure(caps, 0), "width", &width);
            gst_caps_unref(caps);
        }
        return width == 40;
    }));
    gst_object_unref(pad);
    const guint64 after_resize = counter(sink, "frames-zero-copy");
    EXPECT_TRUE(zorvtest::wait_until(
        [&] { return counter(sink, "frames-zero-copy") >= after_resize + 3; }));
    const plugintest::published_frame seen = plugintest::read_published(guard.name());
    EXPECT_EQ(seen.height, 30u);
    EXPECT_EQ(seen.pixels, plugintest::reference_frame("colors", 40, 30));
    GstMessage* error = plugintest::wait_for_message(pipeline.get(), GST_MESSAGE_ERROR, 0ms);
    EXPECT_EQ(error, nullptr);
    if (error != nullptr) {
        gst_message_unref(error);
    }
    gst_object_unref(filter);
    gst_object_unref(sink);
}

// The prerolled buffer stays held while PAUSED; upstream behind a queue keeps acquiring.
TEST(ZeroCopySink, PausePlayCyclesNeitherStallNorPublishTwice) {
    ShmGuard guard;
    plugintest::Pipeline pipeline("videotestsrc pattern=colors ! " + bgra_caps(32, 24) +
                                  " ! queue ! zorvdbsink name=sink buffer-name=" + guard.name());
    GstElement* sink = pipeline.element("sink");
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        gst_element_set_state(pipeline.get(), GST_STATE_PAUSED);
        ASSERT_EQ(gst_element_get_state(pipeline.get(), nullptr, nullptr, 5 * GST_SECOND),
                  GST_STATE_CHANGE_SUCCESS);
        const guint64 before = plugintest::read_published(guard.name()).frame_count;
        ASSERT_NE(pipeline.play(), GST_STATE_CHANGE_FAILURE);
        ASSERT_EQ(gst_element_get_state(pipeline.get(), nullptr, nullptr, 5 * GST_SECOND),
                  GST_STATE_CHANGE_SUCCESS);
        EXPECT_TRUE(zorvtest::wait_until(
            [&] { return plugintest::read_published(guard.name()).frame_count >= before + 3; }));
    }
    gst_element_set_state(pipeline.get(), GST_STATE_PAUSED);
    ASSERT_EQ(gst_element_get_state(pipeline.get(), nullptr, nullptr, 5 * GST_SECOND),
              GST_STATE_CHANGE_SUCCESS);
    const plugintest::published_frame seen = plugintest::read_published(guard.name());
    // Each publication is counted once by the sink, the preroll frame included.
    EXPECT_EQ(seen.frame_count, counter(sink, "frames-zero-copy") + counter(sink, "frames-copied"));
    EXPECT_GT(counter(sink, "frames-zero-copy"), 0u);
    EXPECT_EQ(seen.pixels, plugintest::reference_frame("colors", 32, 24));
    gst_object_unref(sink);
}

// The pool driven by hand: the slot buffer's fate when others publish, hold or reopen first.
class ZeroCopyPool : public ::testing::Test {
protected:
    void SetUp() override {
        GstElement* sink = gst_element_factory_make("zorvdbsink", nullptr);
        g_object_set(sink, "buffer-name", guard_.name().c_str(), "sync", FALSE, nullptr);
        harness_ = gst_harness_new_with_element(sink, "sink", nullptr);
        sink_ = sink;
        gst_harness_set_src_caps_str(harness_, plugintest::sink_caps(4, 2).c_str());
        pool_ = offered_pool(plugintest::sink_caps(4, 2));
        ASSERT_NE(pool_, nullptr);
        ASSERT_TRUE(gst_buffer_pool_set_active(pool_, TRUE));
    }
    void TearDown() override {
        if (pool_ != nullptr) {
            gst_buffer_pool_set_active(pool_, FALSE);
            gst_object_unref(pool_);
        }
        gst_harness_teardown(harness_);
        gst_object_unref(sink_);
    }

    GstBufferPool* offered_pool(const std::string& caps_text) {
        GstCaps* caps = gst_caps_from_string(caps_text.c_str());
        GstQuery* query = gst_query_new_allocation(caps, TRUE);
        gst_caps_unref(caps);
        GstBufferPool* pool = nullptr;
        if (gst_pad_peer_query(harness_->srcpad, query) &&
            gst_query_get_n_allocation_pools(query) > 0) {
            gst_query_parse_nth_allocation_pool(query, 0, &pool, nullptr, nullptr, nullptr);
        }
        gst_query_unref(query);
        return pool;
    }

    GstBuffer* filled(unsigned seed) {
        GstBuffer* buffer = nullptr;
        EXPECT_EQ(gst_buffer_pool_acquire_buffer(pool_, &buffer, nullptr), GST_FLOW_OK);
        const auto frame = plugintest::make_frame(4, 2, seed);
        gst_buffer_fill(buffer, 0, frame.data(), frame.size());
        return buffer;
    }

    guint64 copied() { return counter(sink_, "frames-copied"); }
    guint64 in_place() { return counter(sink_, "frames-zero-copy"); }

    ShmGuard guard_;
    GstHarness* harness_ = nullptr;
    GstElement* sink_ = nullptr;
    GstBufferPool* pool_ = nullptr;
};

TEST_F(ZeroCopyPool, OnlyTheNextFrameToArriveDrawsIntoTheSlot) {
    GstBuffer* slot = filled(1);
    GstBuffer* spare = filled(2); // the slot is out: ordinary memory
    ASSERT_EQ(gst_harness_push(harness_, slot), GST_FLOW_OK);
    EXPECT_EQ(in_place(), 1u);
    EXPECT_EQ(plugintest::read_published(guard_.name()).pixels, plugintest::make_frame(4, 2, 1));
    // `spare` is still on its way and will be copied into the write slot: lending that slot
    // now would let its copy overwrite this frame.
    GstBuffer* third = filled(3);
    ASSERT_EQ(gst_harness_push(harness_, spare), GST_FLOW_OK);
    EXPECT_EQ(plugintest::read_published(guard_.name()).pixels, plugintest::make_frame(4, 2, 2));
    ASSERT_EQ(gst_harness_push(harness_, third), GST_FLOW_OK);
    EXPECT_EQ(plugintest::read_published(guard_.name()).pixels, plugintest::make_frame(4, 2, 3));
    EXPECT_EQ(copied(), 2u);
    EXPECT_EQ(plugintest::read_published(guard_.name()).frame_count, 3u);
    // Nothing on its way any more: the slot is lent again.
    ASSERT_EQ(gst_harness_push(harness_, filled(4)), GST_FLOW_OK);
    EXPECT_EQ(in_place(), 2u);
    EXPECT_EQ(plugintest::read_published(guard_.name()).pixels, plugintest::make_frame(4, 2, 4));
}

TEST_F(ZeroCopyPool, SlotBufferOvertakenByAPublicationIsCopiedNotFlipped) {
    GstBuffer* slot = filled(1);
    GstBuffer* spare = filled(2);
    ASSERT_EQ(gst_harness_push(harness_, spare), GST_FLOW_OK);
    // Its memory now names the read slot: publishing it in place would show the old frame.
    ASSERT_EQ(gst_harness_push(harness_, slot), GST_FLOW_OK);
    EXPECT_EQ(in_place(), 0u);
    EXPECT_EQ(copied(), 2u);
    const plugintest::published_frame seen = plugintest::read_published(guard_.name());
    EXPECT_EQ(seen.frame_count, 2u);
    EXPECT_EQ(seen.pixels, plugintest::make_frame(4, 2, 1));
}

TEST_F(ZeroCopyPool, HeldFrameKeepsItsPixelsWhenItsSlotIsLentAgain) {
    GstBuffer* first = filled(1);
    GstBuffer* kept = gst_buffer_ref(first); // an application holding the published frame
    ASSERT_EQ(gst_harness_push(harness_, first), GST_FLOW_OK);
    ASSERT_EQ(gst_harness_push(harness_, filled(2)), GST_FLOW_OK);
    // Published, its memory names what readers read: nobody may draw into it any more.
    GstMapInfo write_map;
    EXPECT_FALSE(gst_memory_map(gst_buffer_peek_memory(kept, 0), &write_map, GST_MAP_WRITE));
    // The write slot is the one `kept` wraps: drawing frame 3 there must not reach `kept`.
    ASSERT_EQ(gst_harness_push(harness_, filled(3)), GST_FLOW_OK);
    EXPECT_EQ(in_place(), 3u);
    EXPECT_EQ(copied(), 0u);
    EXPECT_EQ(plugintest::read_published(guard_.name()).pixels, plugintest::make_frame(4, 2, 3));
    GstMapInfo map;
    ASSERT_TRUE(gst_buffer_map(kept, &map, GST_MAP_READ));
    const auto expected = plugintest::make_frame(4, 2, 1);
    EXPECT_EQ(std::vector<guint8>(map.data, map.data + map.size), expected);
    gst_buffer_unmap(kept, &map);
    gst_buffer_unref(kept);
}

TEST_F(ZeroCopyPool, SlotBufferFromBeforeAResizeIsDropped) {
    GstBuffer* stale = filled(1);
    gst_harness_set_src_caps_str(harness_, plugintest::sink_caps(3, 3).c_str());
    // The old mapping stays alive while the buffer wraps it; the frame has the old size.
    ASSERT_EQ(gst_harness_push(harness_, stale), GST_FLOW_OK);
    EXPECT_EQ(in_place() + copied(), 0u);
    EXPECT_EQ(plugintest::read_published(guard_.name()).frame_count, 0u);
    EXPECT_EQ(plugintest::read_published(guard_.name()).width, 3u);
    // The old pool lends nothing for the new size; a new query offers a pool that does.
    GstBuffer* plain = nullptr;
    ASSERT_EQ(gst_buffer_pool_acquire_buffer(pool_, &plain, nullptr), GST_FLOW_OK);
    gst_buffer_unref(plain);
    GstBufferPool* resized = offered_pool(plugintest::sink_caps(3, 3));
    ASSERT_NE(resized, nullptr);
    ASSERT_TRUE(gst_buffer_pool_set_active(resized, TRUE));
    GstBuffer* buffer = nullptr;
    ASSERT_EQ(gst_buffer_pool_acquire_buffer(resized, &buffer, nullptr), GST_FLOW_OK);
    const auto frame = plugintest::make_frame(3, 3, 7);
    gst_buffer_fill(buffer, 0, frame.data(), frame.size());
    ASSERT_EQ(gst_harness_push(harness_, buffer), GST_FLOW_OK);
    EXPECT_EQ(in_place(), 1u);
    EXPECT_EQ(plugintest::read_published(guard_.name()).pixels, frame);
    gst_buffer_pool_set_active(resized, FALSE);
    gst_object_unref(resized);
}

TEST_F(ZeroCopyPool, NoPoolWhenTurnedOffOrForOtherSizes) {
    GstBufferPool* other = offered_pool(plugintest::sink_caps(8, 8));
    EXPECT_EQ(other, nullptr);
    if (other != nullptr) {
        gst_object_unref(other);
    }
    g_object_set(sink_, "zero-copy", FALSE, nullptr);
    GstBufferPool* off = offered_pool(plugintest::sink_caps(4, 2));
    EXPECT_EQ(off, nullptr);
    if (off != nullptr) {
        gst_object_unref(off);
    }
}

} // namespace
