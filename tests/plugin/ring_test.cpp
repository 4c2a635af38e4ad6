// SPDX-License-Identifier: LGPL-2.1-or-later
// The elements on a frame ring: round trips of every kind of format, padded layouts, leases and
// their cap, metadata, timestamps, and changes of format under a running reader.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/check/gstharness.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <zorvgst/frames.h>

#include "plugin_env.h"
#include "support/child_process.h"
#include "support/shm_guard.h"

namespace {

using namespace std::chrono_literals;
using zorvtest::ShmGuard;

constexpr const char* frame_meta = "ZorvFrameMeta";

std::string raw_caps(const std::string& format, unsigned width, unsigned height) {
    return "video/x-raw,format=" + format + ",width=" + std::to_string(width) +
           ",height=" + std::to_string(height) + ",framerate=30/1";
}

guint64 counter(GstElement* element, const char* name) {
    guint64 value = 0;
    g_object_get(element, name, &value, nullptr);
    return value;
}

// A pipeline's named element, released at the end of the scope.
class Element {
public:
    Element(const plugintest::Pipeline& pipeline, const char* name)
        : element_(pipeline.element(name)) {}
    ~Element() {
        if (element_ != nullptr) {
            gst_object_unref(element_);
        }
    }
    Element(const Element&) = delete;
    Element& operator=(const Element&) = delete;
    GstElement* get() const { return element_; }
    GstAppSink* appsink() const { return GST_APP_SINK(element_); }

private:
    GstElement* element_;
};

// Owns a sample pulled from an appsink.
class Sample {
public:
    explicit Sample(GstSample* sample = nullptr) : sample_(sample) {}
    ~Sample() { reset(); }
    Sample(Sample&& other) noexcept : sample_(std::exchange(other.sample_, nullptr)) {}
    Sample& operator=(Sample&& other) noexcept {
        reset();
        sample_ = std::exchange(other.sample_, nullptr);
        return *this;
    }
    void reset() {
        if (sample_ != nullptr) {
            gst_sample_unref(sample_);
            sample_ = nullptr;
        }
    }
    explicit operator bool() const { return sample_ != nullptr; }
    GstBuffer* buffer() const { return gst_sample_get_buffer(sample_); }
    GstVideoInfo info() const {
        GstVideoInfo info;
        gst_video_info_init(&info);
        gst_video_info_from_caps(&info, gst_sample_get_caps(sample_));
        return info;
    }
    std::string format() const {
        const GstVideoInfo described = info();
        return gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&described));
    }
    std::vector<guint8> pixels() const { return plugintest::packed_planes(buffer(), info()); }
    const GstStructure* meta() const {
        GstCustomMeta* meta = gst_buffer_get_custom_meta(buffer(), frame_meta);
        return meta != nullptr ? gst_custom_meta_get_structure(meta) : nullptr;
    }
    guint64 frame_number() const {
        guint64 number = 0;
        if (meta() != nullptr) {
            gst_structure_get_uint64(meta(), "frame-number", &number);
        }
        return number;
    }
    gint64 pts_monotonic() const {
        gint64 pts = -1;
        if (meta() != nullptr) {
            gst_structure_get_int64(meta(), "pts-monotonic", &pts);
        }
        return pts;
    }
    std::vector<guint8> metadata() const {
        const GValue* value =
            meta() != nullptr ? gst_structure_get_value(meta(), "metadata") : nullptr;
        if (value == nullptr) {
            return {};
        }
        gsize size = 0;
        const auto* data = static_cast<const guint8*>(
            g_bytes_get_data(static_cast<GBytes*>(g_value_get_boxed(value)), &size));
        return std::vector<guint8>(data, data + size);
    }
    // Whether the buffer wraps a leased slot (read-only) rather than a copy.
    bool leased() const {
        return gst_buffer_n_memory(buffer()) == 1 &&
               GST_MEMORY_IS_READONLY(gst_buffer_peek_memory(buffer(), 0));
    }

private:
    GstSample* sample_;
};

Sample pull(const Element& appsink, std::chrono::milliseconds timeout = 5000ms) {
    return Sample(gst_app_sink_try_pull_sample(
        appsink.appsink(), static_cast<GstClockTime>(timeout.count()) * GST_MSECOND));
}

// The reader every test uses: the source, leasing as it does by default, into an appsink that
// keeps what it is given until pulled.
std::string reader_pipeline(const std::string& name, const std::string& source_options = "") {
    return "zorvdbsrc name=src timeout=5000000000 buffer-name=" + name + " " + source_options +
           " ! appsink name=out sync=false";
}

struct bus_counts {
    int errors = 0;
    int warnings = 0;
};

// Takes every message off the pipeline's bus; errors are reported as failures.
bus_counts drain_bus(const plugintest::Pipeline& pipeline) {
    bus_counts counts;
    while (GstMessage* message = plugintest::wait_for_message(
               pipeline.get(), static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_WARNING),
               0ms)) {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            GError* details = nullptr;
            gst_message_parse_error(message, &details, nullptr);
            ADD_FAILURE() << details->message;
            g_error_free(details);
            ++counts.errors;
        } else {
            ++counts.warnings;
        }
        gst_message_unref(message);
    }
    return counts;
}

void expect_no_error(const plugintest::Pipeline& pipeline) {
    EXPECT_EQ(drain_bus(pipeline).errors, 0);
}

// ---- Round trips --------------------------------------------------------------------------

std::vector<guint8> numbered_bytes(std::size_t count, unsigned seed) {
    std::vector<guint8> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<guint8>((i * 13 + seed * 7 + 5) & 0xff);
    }
    return bytes;
}

// Caps as complete as the pad template asks for (progressive, square pixels).
std::string full_caps(const std::string& format, unsigned width, unsigned height) {
    return raw_caps(format, width, height) + ",interlace-mode=progressive,pixel-aspect-ratio=1/1";
}

// The pool the sink offers upstream for `caps`: its buffers are the ring's write slot.
GstBufferPool* offered_pool(GstHarness* harness, const std::string& caps_text) {
    GstCaps* caps = gst_caps_from_string(caps_text.c_str());
    GstQuery* query = gst_query_new_allocation(caps, TRUE);
    gst_caps_unref(caps);
    GstBufferPool* pool = nullptr;
    if (gst_pad_peer_query(harness->srcpad, query) && gst_query_get_n_allocation_pools(query) > 0) {
        gst_query_parse_nth_allocation_pool(query, 0, &pool, nullptr, nullptr, nullptr);
    }
    gst_query_unref(query);
    return pool;
}

class RingRoundTrip : public ::testing::TestWithParam<const char*> {};

// 33x17: odd rows and odd chroma sizes, rows padded to GStreamer's alignment in most formats.
// Every byte of each frame is set, padding included; each row's pixels must come back.
TEST_P(RingRoundTrip, EveryPixelOfAnOddSizedFrameReachesTheReaderDrawnInPlaceOrCopied) {
    ShmGuard guard;
    const std::string format = GetParam();
    const std::string caps = full_caps(format, 33, 17);
    GstElement* sink = gst_element_factory_make("zorvdbsink", nullptr);
    g_object_set(sink, "buffer-name", guard.name().c_str(), "sync", FALSE, nullptr);
    gst_util_set_object_arg(G_OBJECT(sink), "layout", "ring");
    GstHarness* harness = gst_harness_new_with_element(sink, "sink", nullptr);
    gst_harness_set_src_caps_str(harness, caps.c_str());
    plugintest::Pipeline reader(reader_pipeline(guard.name()));
    ASSERT_NE(reader.play(), GST_STATE_CHANGE_FAILURE);
    Element out(reader, "out");
    Element src(reader, "src");
    GstVideoInfo info;
    ASSERT_TRUE(
        gst_video_info_set_format(&info, gst_video_format_from_string(format.c_str()), 33, 17));

    GstBufferPool* pool = offered_pool(harness, caps);
    ASSERT_NE(pool, nullptr);
    ASSERT_TRUE(gst_buffer_pool_set_active(pool, TRUE));
    for (unsigned seed = 1; seed <= 2; ++seed) {
        SCOPED_TRACE(seed == 1 ? "drawn in the slot" : "copied");
        const std::vector<guint8> bytes = numbered_bytes(GST_VIDEO_INFO_SIZE(&info), seed);
        GstBuffer* buffer = nullptr;
        if (seed == 1) {
            ASSERT_EQ(gst_buffer_pool_acquire_buffer(pool, &buffer, nullptr), GST_FLOW_OK);
            gst_buffer_fill(buffer, 0, bytes.data(), bytes.size());
        } else {
            buffer = gst_buffer_new_memdup(bytes.data(), bytes.size());
        }
        const std::vector<guint8> expected = plugintest::packed_planes(buffer, info);
        ASSERT_EQ(gst_harness_push(harness, buffer), GST_FLOW_OK);
        const Sample sample = pull(out);
        ASSERT_TRUE(sample);
        const GstVideoInfo negotiated = sample.info();
        EXPECT_EQ(sample.format(), format);
        EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&negotiated), 33);
        EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&negotiated), 17);
        EXPECT_EQ(sample.frame_number(), seed);
        EXPECT_EQ(sample.pixels(), expected);
        // Pushed as the leased slot itself.
        EXPECT_TRUE(sample.leased());
    }
    EXPECT_EQ(counter(sink, "frames-zero-copy"), 1u);
    EXPECT_EQ(counter(sink, "frames-copied"), 1u);
    EXPECT_EQ(counter(src.get(), "frames-leased"), 2u);
    expect_no_error(reader);
    gst_buffer_pool_set_active(pool, FALSE);
    gst_object_unref(pool);
    gst_harness_teardown(harness);
    gst_object_unref(sink);
}

INSTANTIATE_TEST_SUITE_P(Formats, RingRoundTrip,
                         ::testing::Values("BGRA", "BGRx", "RGBA", "RGB", "GRAY8", "GRAY16_LE",
                                           "NV12", "I420", "YUY2", "UYVY"));

// ---- Layouts other than GStreamer's default --------------------------------------------------

// I420 33x17 with every plane's rows 64 bytes apart and the planes in reverse order.
struct padded_i420 {
    static constexpr unsigned width = 33;
    static constexpr unsigned height = 17;
    static constexpr gint stride = 64;
    static constexpr gsize chroma_bytes = stride * 9;
    gsize offsets[GST_VIDEO_MAX_PLANES] = {2 * chroma_bytes, chroma_bytes, 0, 0};
    gint strides[GST_VIDEO_MAX_PLANES] = {stride, stride, stride, 0};
    std::size_t size = 2 * chroma_bytes + stride * height;
};

TEST(RingSink, CopiesFramesWithPaddedRowsPlaneByPlaneAsTheirVideoMetaSays) {
    ShmGuard guard;
    padded_i420 layout;
    plugintest::Pipeline writer("appsrc name=in format=time caps=\"" +
                                full_caps("I420", layout.width, layout.height) +
                                "\" ! zorvdbsink "
                                "name=sink sync=false buffer-name=" +
                                guard.name());
    ASSERT_NE(writer.play(), GST_STATE_CHANGE_FAILURE);
    Element in(writer, "in");
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, layout.width, layout.height);
    zorvgst::frame_reader reader(guard.name());
    for (unsigned seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE(seed);
        const std::vector<guint8> bytes = numbered_bytes(layout.size, seed);
        GstBuffer* buffer = gst_buffer_new_memdup(bytes.data(), bytes.size());
        gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_I420,
                                       layout.width, layout.height, 3, layout.offsets,
                                       layout.strides);
        const std::vector<guint8> expected = plugintest::packed_planes(buffer, info);
        ASSERT_EQ(gst_app_src_push_buffer(GST_APP_SRC(in.get()), buffer), GST_FLOW_OK);
        ASSERT_TRUE(zorvtest::wait_until([&] {
            const auto newest = reader.newest();
            return newest && newest->number == seed;
        }));
        // The ring has GStreamer's default I420 layout: its frame read back packed matches.
        ASSERT_EQ(reader.layout(), zorvgst::buffer_layout::frame_ring);
        const zorvgst::frame_format format = *reader.format();
        ASSERT_EQ(format, zorvgst::frame_format::of("I420", layout.width, layout.height));
        std::vector<guint8> frame(format.size);
        ASSERT_TRUE(reader.copy(frame.data(), frame.size()));
        GstBuffer* ring_frame = gst_buffer_new_memdup(frame.data(), frame.size());
        EXPECT_EQ(plugintest::packed_planes(ring_frame, info), expected);
        gst_buffer_unref(ring_frame);
    }
    Element sink(writer, "sink");
    EXPECT_EQ(counter(sink.get(), "frames-copied"), 3u);
    expect_no_error(writer);
}

TEST(RingSource, DescribesARingsOwnPaddedLayoutWithVideoMeta) {
    ShmGuard guard;
    // NV12 rows 48 bytes apart: a layout no caps describe.
    const zorvgst::frame_format format =
        zorvgst::frame_format::with_strides("NV12", 33, 17, {48, 48, 0, 0});
    zorvgst::frame_writer writer(guard.name(), format);
    const std::vector<guint8> bytes = numbered_bytes(format.size, 9);
    std::memcpy(writer.frame(), bytes.data(), bytes.size());
    writer.publish();

    plugintest::Pipeline reader(reader_pipeline(guard.name()));
    ASSERT_NE(reader.play(), GST_STATE_CHANGE_FAILURE);
    Element out(reader, "out");
    const Sample sample = pull(out);
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample.format(), "NV12");
    const GstVideoMeta* meta = gst_buffer_get_video_meta(sample.buffer());
    ASSERT_NE(meta, nullptr);
    ASSERT_EQ(meta->n_planes, 2u);
    for (unsigned plane = 0; plane < 2; ++plane) {
        EXPECT_EQ(meta->offset[plane], format.plane[plane].offset);
        EXPECT_EQ(meta->stride[plane], 48);
    }
    gsize offsets[GST_VIDEO_MAX_PLANES] = {format.plane[0].offset, format.plane[1].offset};
    gint strides[GST_VIDEO_MAX_PLANES] = {48, 48};
    GstBuffer* written = gst_buffer_new_memdup(bytes.data(), bytes.size());
    gst_buffer_add_video_meta_full(written, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_NV12, 33,
                                   17, 2, offsets, strides);
    EXPECT_EQ(sample.pixels(), plugintest::packed_planes(written, sample.info()));
    gst_buffer_unref(written);
}

// ---- Leases and their cap ----------------------------------------------------------------

// A C++ writer of 16x8 GRAY8 frames whose every byte is the low byte of the frame's number. Its
// ring lets each reader hold 4 frames, more than the source is allowed to.
class NumberedRingWriter {
public:
    explicit NumberedRingWriter(const std::string& name)
        : writer_(name, zorvgst::frame_format::of("GRAY8", 16, 8), zorvgst::ring_options{4, 4, 64}),
          thread_([this] { run(); }) {}
    ~NumberedRingWriter() {
        stop_ = true;
        thread_.join();
    }
    std::uint64_t published() const { return published_.load(); }

private:
    void run() {
        while (!stop_.load()) {
            const std::uint64_t number = published_.load() + 1;
            std::memset(writer_.frame(), static_cast<int>(number & 0xff), writer_.format().size);
            published_ = writer_.publish().number;
            std::this_thread::sleep_for(1ms);
        }
    }

    zorvgst::frame_writer writer_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> published_{0};
    std::thread thread_;
};

bool shows_its_number(const Sample& sample) {
    GstMapInfo map;
    if (!gst_buffer_map(sample.buffer(), &map, GST_MAP_READ)) {
        return false;
    }
    const auto expected = static_cast<guint8>(sample.frame_number() & 0xff);
    const bool shows =
        map.size == 16 * 8 && std::all_of(map.data, map.data + map.size,
                                          [expected](guint8 byte) { return byte == expected; });
    gst_buffer_unmap(sample.buffer(), &map);
    return shows;
}

TEST(RingSource, CopiesPastTheLeaseCapAndLeasesAgainOnceBuffersAreReleased) {
    ShmGuard guard;
    NumberedRingWriter writer(guard.name());
    // The appsink keeps every buffer until it is pulled: downstream that holds everything.
    plugintest::Pipeline reader(reader_pipeline(guard.name(), "max-leases=2"));
    ASSERT_NE(reader.play(), GST_STATE_CHANGE_FAILURE);
    Element src(reader, "src");
    Element out(reader, "out");
    ASSERT_TRUE(zorvtest::wait_until([&] { return counter(src.get(), "frames-copied") >= 5; }));
    EXPECT_EQ(counter(src.get(), "frames-leased"), 2u);

    std::vector<Sample> held;
    for (int i = 0; i < 5; ++i) {
        held.push_back(pull(out));
        ASSERT_TRUE(held.back());
        EXPECT_EQ(held.back().leased(), i < 2) << "buffer " << i;
    }
    // The writer goes on while both leases are held, and never touches their slots.
    const std::uint64_t published = writer.published();
    ASSERT_TRUE(zorvtest::wait_until([&] { return writer.published() >= published + 30; }));
    for (const Sample& sample : held) {
        EXPECT_TRUE(shows_its_number(sample)) << "frame " << sample.frame_number();
    }

    held.clear();
    // With the queue drained and the leases back, frames are leased again.
    const guint64 leased = counter(src.get(), "frames-leased");
    EXPECT_TRUE(zorvtest::wait_until([&] {
        while (Sample sample = pull(out, 0ms)) {
            EXPECT_TRUE(shows_its_number(sample));
        }
        return counter(src.get(), "frames-leased") > leased;
    }));
    expect_no_error(reader);
}

// ---- Metadata and timestamps -------------------------------------------------------------

// Adds to every buffer reaching the sink a ZorvFrameMeta whose metadata is "meta", the buffer's
// offset (4 bytes) and "cut" (11 bytes in all).
GstPadProbeReturn add_metadata(GstPad*, GstPadProbeInfo* info, gpointer) {
    GstBuffer* buffer = gst_buffer_make_writable(gst_pad_probe_info_get_buffer(info));
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    const auto offset = static_cast<guint32>(GST_BUFFER_OFFSET(buffer));
    guint8 bytes[11] = {'m', 'e', 't', 'a', 0, 0, 0, 0, 'c', 'u', 't'};
    std::memcpy(bytes + 4, &offset, sizeof(offset));
    GstCustomMeta* meta = gst_buffer_add_custom_meta(buffer, frame_meta);
    GBytes* metadata = g_bytes_new(bytes, sizeof(bytes));
    gst_structure_set(gst_custom_meta_get_structure(meta), "metadata", G_TYPE_BYTES, metadata,
                      nullptr);
    g_bytes_unref(metadata);
    return GST_PAD_PROBE_OK;
}

TEST(RingElements, MetadataReachesAnAppsinkCutToTheSlotsCapacityWithOneWarning) {
    ShmGuard guard;
    plugintest::Pipeline writer(
        "videotestsrc is-live=true ! " + raw_caps("GRAY8", 16, 8) +
        " ! zorvdbsink name=sink metadata-size=8 buffer-name=" + guard.name());
    Element sink(writer, "sink");
    GstPad* pad = gst_element_get_static_pad(sink.get(), "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, add_metadata, nullptr, nullptr);
    gst_object_unref(pad);
    plugintest::Pipeline reader(reader_pipeline(guard.name()));
    ASSERT_NE(reader.play(), GST_STATE_CHANGE_FAILURE);
    ASSERT_NE(writer.play(), GST_STATE_CHANGE_FAILURE);
    Element out(reader, "out");

    guint32 last_offset = 0;
    guint64 last_number = 0;
    for (int i = 0; i < 4; ++i) {
        const Sample sample = pull(out);
        ASSERT_TRUE(sample);
        const std::vector<guint8> metadata = sample.metadata();
        ASSERT_EQ(metadata.size(), 8u);
        EXPECT_EQ(std::string(metadata.begin(), metadata.begin() + 4), "meta");
        guint32 offset = 0;
        std::memcpy(&offset, metadata.data() + 4, sizeof(offset));
        EXPECT_GT(sample.frame_number(), last_number);
        EXPECT_TRUE(i == 0 || offset > last_offset);
        last_offset = offset;
        last_number = sample.frame_number();
    }
    EXPECT_EQ(drain_bus(writer).warnings, 1);
}

// Two clocks: the monotonic system clock, read as CLOCK_MONOTONIC itself, and a real-time one,
// which the elements relate to CLOCK_MONOTONIC by reading both.
class RingTimestamps : public ::testing::TestWithParam<GstClockType> {
protected:
    void use_clock(const plugintest::Pipeline& pipeline) {
        GstClock* clock =
            GST_CLOCK(g_object_new(GST_TYPE_SYSTEM_CLOCK, "clock-type", GetParam(), nullptr));
        gst_pipeline_use_clock(GST_PIPELINE(pipeline.get()), clock);
        gst_object_unref(clock);
    }
};

TEST_P(RingTimestamps, FramesCarryMonotonicTimesThatBecomeRunningTimeAgain) {
    ShmGuard guard;
    const std::int64_t started = zorvgst::monotonic_now_ns();
    plugintest::Pipeline writer("videotestsrc is-live=true ! " + raw_caps("GRAY8", 16, 8) +
                                " ! zorvdbsink layout=ring buffer-name=" + guard.name());
    plugintest::Pipeline reader(reader_pipeline(guard.name()));
    use_clock(writer);
    use_clock(reader);
    ASSERT_NE(reader.play(), GST_STATE_CHANGE_FAILURE);
    ASSERT_NE(writer.play(), GST_STATE_CHANGE_FAILURE);
    Element out(reader, "out");

    std::vector<Sample> samples;
    for (int i = 0; i < 6; ++i) {
        samples.push_back(pull(out));
        ASSERT_TRUE(samples.back());
    }
    const std::int64_t ended = zorvgst::monotonic_now_ns();
    GstClock* clock = gst_pipeline_get_clock(GST_PIPELINE(reader.get()));
    const GstClockTime running_now =
        gst_clock_get_time(clock) - gst_element_get_base_time(reader.get());
    gst_object_unref(clock);
    // The newest frame was published moments ago, in the reader's running time too.
    const GstClockTime newest = GST_BUFFER_PTS(samples.back().buffer());
    EXPECT_LE(newest, running_now);
    EXPECT_GE(newest + 200 * GST_MSECOND, running_now);
    constexpr std::int64_t frame_ns = 33333333;
    constexpr std::int64_t slack_ns = 2000000;
    // The first frame may have been published before the reader's pipeline ran: its running
    // time is clamped. The rest pair up one to one.
    for (std::size_t i = 2; i < samples.size(); ++i) {
        SCOPED_TRACE(i);
        const Sample& before = samples[i - 1];
        const Sample& now = samples[i];
        const auto frames = static_cast<std::int64_t>(now.frame_number() - before.frame_number());
        ASSERT_GE(frames, 1);
        EXPECT_GE(now.pts_monotonic(), started);
        EXPECT_LE(now.pts_monotonic(), ended);
        // The sink stamped the buffers' running times, 1/30 s apart, in CLOCK_MONOTONIC.
        const std::int64_t monotonic_step = now.pts_monotonic() - before.pts_monotonic();
        EXPECT_NEAR(monotonic_step, frames * frame_ns, slack_ns);
        // The source turned them back into running time, as far apart.
        const auto running_step = static_cast<std::int64_t>(GST_BUFFER_PTS(now.buffer()) -
                                                            GST_BUFFER_PTS(before.buffer()));
        EXPECT_NEAR(running_step, monotonic_step, slack_ns);
        EXPECT_NEAR(static_cast<std::int64_t>(GST_BUFFER_DURATION(now.buffer())), frame_ns, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Clocks, RingTimestamps,
                         ::testing::Values(GST_CLOCK_TYPE_MONOTONIC, GST_CLOCK_TYPE_REALTIME));

// ---- Changes under a running reader --------------------------------------------------------

TEST(RingElements, ReaderRenegotiatesWhenTheWriterChangesFormatOrSize) {
    ShmGuard guard;
    plugintest::Pipeline writer("videotestsrc is-live=true pattern=pinwheel ! capsfilter "
                                "name=filter caps=\"" +
                                raw_caps("NV12", 64, 48) +
                                "\" ! zorvdbsink buffer-name=" + guard.name());
    plugintest::Pipeline reader(reader_pipeline(guard.name()));
    ASSERT_NE(reader.play(), GST_STATE_CHANGE_FAILURE);
    ASSERT_NE(writer.play(), GST_STATE_CHANGE_FAILURE);
    Element filter(writer, "filter");
    Element out(reader, "out");
    struct step {
        const char* format;
        unsigned width;
        unsigned height;
    };
    // A new format, a new size, then BGRA: a double buffer replaces the ring.
    const step steps[] = {{"NV12", 64, 48}, {"I420", 64, 48}, {"I420", 40, 30}, {"BGRA", 40, 30}};
    for (const step& expected : steps) {
        SCOPED_TRACE(std::string(expected.format) + " " + std::to_string(expected.width));
        GstCaps* caps = gst_caps_from_string(
            raw_caps(expected.format, expected.width, expected.height).c_str());
        g_object_set(filter.get(), "caps", caps, nullptr);
        gst_caps_unref(caps);
        Sample sample;
        ASSERT_TRUE(zorvtest::wait_until([&] {
            sample = pull(out, 100ms);
            const GstVideoInfo info = sample ? sample.info() : GstVideoInfo{};
            return sample && sample.format() == expected.format &&
                   GST_VIDEO_INFO_WIDTH(&info) == static_cast<gint>(expected.width) &&
                   GST_VIDEO_INFO_HEIGHT(&info) == static_cast<gint>(expected.height);
        }));
        EXPECT_EQ(sample.pixels(), plugintest::reference_pixels("pinwheel", expected.format,
                                                                expected.width, expected.height));
    }
    expect_no_error(writer);
    expect_no_error(reader);
}

// ---- Which buffer the sink makes -----------------------------------------------------------

struct layout_case {
    const char* properties;
    const char* upstream;
    // What readers find: "BGRA double buffer", "<format> ring", or nothing when refused.
    const char* made;
};

std::ostream& operator<<(std::ostream& out, const layout_case& c) {
    return out << "zorvdbsink " << c.properties << " after " << c.upstream;
}

class SinkLayout : public ::testing::TestWithParam<layout_case> {};

TEST_P(SinkLayout, MakesTheBufferItsPropertiesAndCapsCallFor) {
    ShmGuard guard;
    const layout_case& c = GetParam();
    plugintest::Pipeline writer(std::string("videotestsrc num-buffers=2 ! ") + c.upstream +
                                " ! zorvdbsink sync=false " + c.properties +
                                " buffer-name=" + guard.name());
    bool ended = false;
    if (writer.get() != nullptr && writer.play() != GST_STATE_CHANGE_FAILURE) {
        GstMessage* message = plugintest::wait_for_message(
            writer.get(), static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR), 10s);
        ASSERT_NE(message, nullptr);
        ended = GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
        gst_message_unref(message);
    }
    zorvgst::frame_reader reader(guard.name());
    if (std::string(c.made).empty()) {
        EXPECT_FALSE(ended);
        EXPECT_FALSE(reader.wait(0ms));
        return;
    }
    ASSERT_TRUE(ended) << writer.parse_error();
    ASSERT_TRUE(reader.wait(1s));
    const bool ring = reader.layout() == zorvgst::buffer_layout::frame_ring;
    EXPECT_EQ(reader.format()->name + (ring ? " ring" : " double buffer"), c.made);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SinkLayout,
    ::testing::Values(
        // Upstream that can produce BGRA still does: a double buffer, as before rings.
        layout_case{"", "video/x-raw,width=32,height=24 ! videoconvert", "BGRA double buffer"},
        layout_case{"", "video/x-raw,format=NV12,width=32,height=24", "NV12 ring"},
        layout_case{"layout=ring", "video/x-raw,format=BGRA,width=32,height=24", "BGRA ring"},
        layout_case{"layout=double-buffer", "video/x-raw,width=32,height=24 ! videoconvert",
                    "BGRA double buffer"},
        layout_case{"layout=double-buffer", "video/x-raw,format=NV12,width=32,height=24", ""},
        layout_case{"backend=sysv", "video/x-raw,format=NV12,width=32,height=24", ""},
        layout_case{"layout=ring backend=sysv", "video/x-raw,format=BGRA,width=32,height=24", ""}));

} // namespace
