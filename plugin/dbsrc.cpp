// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvdbsrc: waits for each publication of a double buffer or frame ring and pushes the frame: a
// copy of a double buffer's, a ring's slot itself while a lease is free.
#include "dbsrc.h"
#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include <gst/video/video.h>

#include <zorvgst/frames.h>
#include <zorvgst/zorvgst.h>

#include "buffer_properties.h"
#include "counter_property.h"
#include "frame_caps.h"
#include "frame_meta.h"
#include "monotonic_time.h"
#include "object_lock.h"
#include "ring_frames.h"

GST_DEBUG_CATEGORY_STATIC(gst_zorv_db_src_debug);
#define GST_CAT_DEFAULT gst_zorv_db_src_debug

namespace {

using steady_clock = std::chrono::steady_clock;

// How long one wait may last before the deadline is looked at again; a flush interrupts it.
constexpr std::chrono::milliseconds wait_slice(1000);

// Properties (buffer name, backend, timeout, max-leases and the counters) under the object lock.
struct src_state_t : zorvplugin::buffer_choice_t {
    guint64 timeout = 0;
    guint64 dropped = 0;
    // As many as a ring lets each reader hold by default.
    guint max_leases = zorvgst::ring_options{}.leases_per_reader;
    guint64 frames_leased = 0;
    guint64 frames_copied = 0;

    // Streaming state, owned by the streaming thread between start() and stop().
    std::string active_name;
    guint64 active_timeout = 0;
    std::unique_ptr<zorvgst::frame_reader> reader;
    std::uint64_t reader_drops_counted = 0;
    GstVideoInfo info{};
    GstClockTime last_pts = GST_CLOCK_TIME_NONE;
    bool discont = true;
    guint64 produced = 0;
    // Of a frame ring: the layout negotiated, and the pool of copies.
    zorvplugin::ring_frames_t ring_frames;

    // Read by caps queries on other threads.
    std::atomic<guint> width{0};
    std::atomic<guint> height{0};
    std::atomic<int> format{GST_VIDEO_FORMAT_UNKNOWN};
    std::atomic<bool> flushing{false};
};

enum {
    PROP_TIMEOUT = zorvplugin::first_own_property,
    PROP_DROPPED,
    PROP_MAX_LEASES,
    PROP_FRAMES_LEASED,
    PROP_FRAMES_COPIED,
};

} // namespace

struct _GstZorvDbSrc {
    GstPushSrc parent;
    src_state_t* state;
};

G_DEFINE_TYPE(GstZorvDbSrc, gst_zorv_db_src, GST_TYPE_PUSH_SRC)
GST_ELEMENT_REGISTER_DEFINE(zorvdbsrc, "zorvdbsrc", GST_RANK_NONE, GST_TYPE_ZORV_DB_SRC)

namespace {

enum class wait_result_t { ready, flushing, timed_out };

// Waits until the reader holds a frame newer than the last one pushed. The reader sleeps in the
// kernel until the writer publishes; unlock() ends the sleep on a flush.
wait_result_t wait_for_new_frame(src_state_t& state, steady_clock::time_point deadline) {
    while (true) {
        if (state.flushing.load()) {
            return wait_result_t::flushing;
        }
        const steady_clock::time_point now = steady_clock::now();
        const auto slice = deadline > now
                               ? std::min<steady_clock::duration>(deadline - now, wait_slice)
                               : steady_clock::duration::zero();
        if (state.reader->wait(slice)) {
            return wait_result_t::ready;
        }
        if (steady_clock::now() >= deadline) {
            return wait_result_t::timed_out;
        }
    }
}

bool is_negotiated_size(const src_state_t& state, const zorvgst::frame_info& frame) {
    return frame.width == state.width.load() && frame.height == state.height.load() &&
           state.format.load() == GST_VIDEO_FORMAT_BGRA;
}

// Bytes from plane 0's first pixel to the end of its mapping.
std::size_t plane_capacity(const GstVideoFrame& frame) {
    const auto* start = static_cast<const guint8*>(frame.map[0].data);
    const auto* plane = static_cast<const guint8*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    return frame.map[0].size - static_cast<std::size_t>(plane - start);
}

// Adds the copies the reader threw away since the last look to the `dropped` property.
void count_drops(GstZorvDbSrc* self) {
    src_state_t& state = *self->state;
    const std::uint64_t total = state.reader->dropped();
    if (total == state.reader_drops_counted) {
        return;
    }
    const auto fresh = static_cast<guint>(total - state.reader_drops_counted);
    state.reader_drops_counted = total;
    const guint64 dropped = zorvplugin::add_to_counter(self, state.dropped, fresh);
    GST_INFO_OBJECT(self, "dropped %u torn cop%s of \"%s\" (%" G_GUINT64_FORMAT " in all)", fresh,
                    fresh == 1 ? "y" : "ies", state.active_name.c_str(), dropped);
    // Outside the lock: a handler may read the property.
    g_object_notify(G_OBJECT(self), "dropped");
}

GstClockTime pipeline_running_time(GstZorvDbSrc* self,
                                   std::chrono::system_clock::time_point published) {
    GstClock* clock = gst_element_get_clock(GST_ELEMENT(self));
    if (clock == nullptr) {
        return GST_CLOCK_TIME_NONE;
    }
    const GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(self));
    GstClockTime running = now > base ? now - base : 0;
    // Date the frame back to its publication when the writer's stamp is plausible (same
    // machine, less than a second old).
    const auto age = std::chrono::system_clock::now() - published;
    if (age >= std::chrono::system_clock::duration::zero() && age < std::chrono::seconds(1)) {
        const auto age_ns = static_cast<GstClockTime>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(age).count());
        running = running > age_ns ? running - age_ns : 0;
    }
    return running;
}

// What the reader is attached to, as messages name it: a double buffer unless known otherwise.
const char* buffer_kind(const src_state_t& state) {
    return state.reader && state.reader->layout() == zorvgst::buffer_layout::frame_ring
               ? "frame ring"
               : "double buffer";
}

// Sets the caps to frames of this format and size; false when downstream refuses them.
bool negotiate_frames(GstZorvDbSrc* self, guint width, guint height, GstVideoFormat format) {
    src_state_t& state = *self->state;
    state.width = width;
    state.height = height;
    state.format = format;
    if (!gst_base_src_negotiate(GST_BASE_SRC(self))) {
        return false;
    }
    state.discont = true;
    return true;
}

// Timestamps and numbers `buffer` as the next one pushed.
void stamp(src_state_t& state, GstBuffer* buffer, GstClockTime pts) {
    // The writer's stamp may jump; the stream's timestamps never go back.
    if (GST_CLOCK_TIME_IS_VALID(pts) && GST_CLOCK_TIME_IS_VALID(state.last_pts) &&
        pts < state.last_pts) {
        pts = state.last_pts;
    }
    state.last_pts = pts;
    GST_BUFFER_PTS(buffer) = pts;
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_OFFSET(buffer) = state.produced++;
    GST_BUFFER_OFFSET_END(buffer) = state.produced;
    if (state.discont) {
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
        state.discont = false;
    }
}

// One look at a double buffer after a publication: a copy of its newest frame in *out, a flow
// to end create() with, or nothing to look again (at once when `read_again` is set).
std::optional<GstFlowReturn> read_double_buffer(GstZorvDbSrc* self, GstBuffer** out,
                                                bool& read_again) {
    auto* base_src = GST_BASE_SRC(self);
    src_state_t& state = *self->state;
    zorvgst::frame_reader& reader = *state.reader;
    const std::optional<zorvgst::frame_info> newest = reader.newest();
    if (!newest) {
        return std::nullopt;
    }
    if (!is_negotiated_size(state, *newest)) {
        GST_INFO_OBJECT(self, "frames of \"%s\" are %ux%u", state.active_name.c_str(),
                        newest->width, newest->height);
        state.ring_frames.reset();
        if (!negotiate_frames(self, newest->width, newest->height, GST_VIDEO_FORMAT_BGRA)) {
            GST_ELEMENT_ERROR(
                self, CORE, NEGOTIATION,
                ("Downstream refuses %ux%u BGRA frames", newest->width, newest->height), (nullptr));
            return GST_FLOW_NOT_NEGOTIATED;
        }
    }
    GstBuffer* buffer = nullptr;
    const GstFlowReturn alloc_result =
        GST_BASE_SRC_CLASS(gst_zorv_db_src_parent_class)
            ->alloc(base_src, GST_BUFFER_OFFSET_NONE, GST_VIDEO_INFO_SIZE(&state.info), &buffer);
    if (alloc_result != GST_FLOW_OK) {
        return alloc_result;
    }
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &state.info, buffer, GST_MAP_WRITE)) {
        gst_buffer_unref(buffer);
        GST_ELEMENT_ERROR(self, STREAM, FAILED, ("Could not map an output buffer"), (nullptr));
        return GST_FLOW_ERROR;
    }
    const zorvgst::read_result result =
        reader.try_read(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0),
                        GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0), plane_capacity(frame));
    gst_video_frame_unmap(&frame);
    if (result.status == zorvgst::read_status::too_small ||
        result.status == zorvgst::read_status::several_planes) {
        // The writer grew its frames, or made a ring, since newest(): renegotiate first.
        gst_buffer_unref(buffer);
        return std::nullopt;
    }
    count_drops(self);
    const std::optional<zorvgst::frame_info> copied =
        result ? std::optional<zorvgst::frame_info>(result.info) : std::nullopt;
    if (!copied) {
        // Nothing whole to show: the writer overtook every copy, or went away.
        gst_buffer_unref(buffer);
        return std::nullopt;
    }
    if (!is_negotiated_size(state, *copied)) {
        // The writer switched to smaller frames since newest(): renegotiate first.
        gst_buffer_unref(buffer);
        read_again = true;
        return std::nullopt;
    }
    stamp(state, buffer, pipeline_running_time(self, copied->written));
    *out = buffer;
    return GST_FLOW_OK;
}

// The same for a frame ring: its newest frame leased (or copied past the lease cap) in *out.
std::optional<GstFlowReturn> read_ring(GstZorvDbSrc* self, GstBuffer** out, bool& read_again) {
    src_state_t& state = *self->state;
    zorvgst::frame_reader& reader = *state.reader;
    const std::optional<zorvgst::frame_format> format = reader.format();
    if (!format) {
        return std::nullopt;
    }
    if (*format != state.ring_frames.expected()) {
        GST_INFO_OBJECT(self, "frames of the frame ring \"%s\" are %s %ux%u",
                        state.active_name.c_str(), format->name.c_str(), format->width,
                        format->height);
        state.ring_frames.reset();
        const GstVideoFormat video_format = gst_video_format_from_string(format->name.c_str());
        if (!negotiate_frames(self, format->width, format->height, video_format)) {
            GST_ELEMENT_ERROR(self, CORE, NEGOTIATION,
                              ("Downstream refuses %ux%u %s frames", format->width, format->height,
                               format->name.c_str()),
                              (nullptr));
            return GST_FLOW_NOT_NEGOTIATED;
        }
        GstCaps* caps = gst_pad_get_current_caps(GST_BASE_SRC_PAD(self));
        state.ring_frames.expect(*format, caps);
        if (caps != nullptr) {
            gst_caps_unref(caps);
        }
    }
    zorvplugin::ring_buffer_t frame;
    const zorvplugin::ring_read_t read = state.ring_frames.next(reader, frame);
    count_drops(self);
    if (read != zorvplugin::ring_read_t::frame) {
        // A frame of another layout is read again once the caps say so.
        read_again = read == zorvplugin::ring_read_t::other_layout;
        return std::nullopt;
    }
    zorvplugin::add_to_counter(self, frame.leased ? state.frames_leased : state.frames_copied);
    GST_LOG_OBJECT(self, "frame %" G_GUINT64_FORMAT " %s", static_cast<guint64>(frame.info.number),
                   frame.leased ? "leased" : "copied");
    // A live source's frame is never later than now: a writer running ahead of its clock
    // (sync=false) would otherwise hold every syncing sink downstream.
    const GstClockTime pts =
        frame.timing.pts_ns >= 0
            ? zorvplugin::running_time_at_monotonic(
                  GST_ELEMENT(self), std::min(frame.timing.pts_ns, zorvgst::monotonic_now_ns()))
            : pipeline_running_time(self, frame.info.written);
    stamp(state, frame.buffer, pts);
    if (frame.timing.duration_ns >= 0) {
        GST_BUFFER_DURATION(frame.buffer) = static_cast<GstClockTime>(frame.timing.duration_ns);
    }
    *out = frame.buffer;
    return GST_FLOW_OK;
}

GstFlowReturn gst_zorv_db_src_create(GstPushSrc* push_src, GstBuffer** out) {
    auto* self = GST_ZORV_DB_SRC(push_src);
    src_state_t& state = *self->state;
    // Timeouts beyond a century mean "forever" too, and keep the sum below from overflowing.
    constexpr guint64 longest_timeout = 100ull * 365 * 24 * 3600 * GST_SECOND;
    const auto deadline =
        state.active_timeout == 0 || state.active_timeout > longest_timeout
            ? steady_clock::time_point::max()
            : steady_clock::now() + std::chrono::nanoseconds(state.active_timeout);
    // Set when a frame came back in a layout the writer switched to meanwhile: that frame counts
    // as returned, so it is read again after renegotiation rather than awaited.
    bool read_again = false;
    try {
        while (true) {
            const wait_result_t waited =
                read_again ? wait_result_t::ready : wait_for_new_frame(state, deadline);
            read_again = false;
            switch (waited) {
            case wait_result_t::flushing:
                return GST_FLOW_FLUSHING;
            case wait_result_t::timed_out:
                GST_ELEMENT_WARNING(self, RESOURCE, READ,
                                    ("No new frame in %s \"%s\" within %" GST_TIME_FORMAT
                                     "; ending the stream",
                                     buffer_kind(state), state.active_name.c_str(),
                                     GST_TIME_ARGS(state.active_timeout)),
                                    (nullptr));
                return GST_FLOW_EOS;
            case wait_result_t::ready:
                break;
            }
            const std::optional<GstFlowReturn> result =
                state.reader->layout() == zorvgst::buffer_layout::frame_ring
                    ? read_ring(self, out, read_again)
                    : read_double_buffer(self, out, read_again);
            if (result) {
                return *result;
            }
        }
    } catch (const std::exception& e) {
        GST_ELEMENT_ERROR(
            self, RESOURCE, READ,
            ("Could not read %s \"%s\"", buffer_kind(state), state.active_name.c_str()),
            ("%s", e.what()));
        return GST_FLOW_ERROR;
    }
}

gboolean gst_zorv_db_src_start(GstBaseSrc* base_src) {
    auto* self = GST_ZORV_DB_SRC(base_src);
    src_state_t& state = *self->state;
    GST_OBJECT_LOCK(self);
    state.active_name = state.buffer_name;
    const zorvgst::backend backend = zorvplugin::library_backend(state.backend);
    state.active_timeout = state.timeout;
    const guint max_leases = state.max_leases;
    GST_OBJECT_UNLOCK(self);
    const std::optional<std::string> library_name =
        zorvplugin::library_buffer_name(state.active_name);
    if (!library_name) {
        ZORV_ELEMENT_ERROR_NO_BUFFER_NAME(self, state.active_name);
        return FALSE;
    }
    state.reader = std::make_unique<zorvgst::frame_reader>(*library_name, backend);
    state.reader->limit_leases(max_leases);
    state.reader_drops_counted = 0;
    state.width = 0;
    state.height = 0;
    state.format = GST_VIDEO_FORMAT_UNKNOWN;
    state.ring_frames.reset();
    state.last_pts = GST_CLOCK_TIME_NONE;
    state.discont = true;
    state.produced = 0;
    gst_video_info_init(&state.info);
    return TRUE;
}

gboolean gst_zorv_db_src_stop(GstBaseSrc* base_src) {
    auto* self = GST_ZORV_DB_SRC(base_src);
    // Buffers still downstream keep their leases, and with them the ring's mapping.
    self->state->ring_frames.reset();
    self->state->reader.reset();
    self->state->width = 0;
    self->state->height = 0;
    self->state->format = GST_VIDEO_FORMAT_UNKNOWN;
    return TRUE;
}

gboolean gst_zorv_db_src_unlock(GstBaseSrc* base_src) {
    src_state_t& state = *GST_ZORV_DB_SRC(base_src)->state;
    state.flushing = true;
    if (state.reader) {
        state.reader->interrupt();
    }
    return TRUE;
}

gboolean gst_zorv_db_src_unlock_stop(GstBaseSrc* base_src) {
    GST_ZORV_DB_SRC(base_src)->state->flushing = false;
    return TRUE;
}

GstCaps* gst_zorv_db_src_get_caps(GstBaseSrc* base_src, GstCaps* filter) {
    auto* self = GST_ZORV_DB_SRC(base_src);
    GstCaps* caps = gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(base_src));
    const guint width = self->state->width.load();
    const guint height = self->state->height.load();
    const auto format = static_cast<GstVideoFormat>(self->state->format.load());
    if (width != 0 && height != 0 && format != GST_VIDEO_FORMAT_UNKNOWN) {
        caps = gst_caps_make_writable(caps);
        gst_caps_set_simple(caps, "format", G_TYPE_STRING, gst_video_format_to_string(format),
                            "width", G_TYPE_INT, static_cast<gint>(width), "height", G_TYPE_INT,
                            static_cast<gint>(height), nullptr);
    }
    if (filter != nullptr) {
        GstCaps* filtered = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = filtered;
    }
    return caps;
}

gboolean gst_zorv_db_src_negotiate(GstBaseSrc* base_src) {
    auto* self = GST_ZORV_DB_SRC(base_src);
    // Nothing to offer before the writer has said how large its frames are; create() negotiates
    // as soon as it knows.
    if (self->state->width.load() == 0) {
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(gst_zorv_db_src_parent_class)->negotiate(base_src);
}

GstCaps* gst_zorv_db_src_fixate(GstBaseSrc* base_src, GstCaps* caps) {
    caps = gst_caps_make_writable(caps);
    // Frames come when the writer publishes them: a variable rate unless downstream insists.
    GstStructure* structure = gst_caps_get_structure(caps, 0);
    gst_structure_fixate_field_nearest_fraction(structure, "framerate", 0, 1);
    return GST_BASE_SRC_CLASS(gst_zorv_db_src_parent_class)->fixate(base_src, caps);
}

gboolean gst_zorv_db_src_set_caps(GstBaseSrc* base_src, GstCaps* caps) {
    auto* self = GST_ZORV_DB_SRC(base_src);
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, caps)) {
        return FALSE;
    }
    GST_DEBUG_OBJECT(self, "caps %" GST_PTR_FORMAT, caps);
    self->state->info = info;
    return TRUE;
}

// Downstream elements that offer no pool (fakesink, appsink) would get every frame in freshly
// allocated memory whose pages the copy faults in anew; a pool of our own reuses them.
gboolean gst_zorv_db_src_decide_allocation(GstBaseSrc* base_src, GstQuery* query) {
    GstCaps* caps = nullptr;
    gst_query_parse_allocation(query, &caps, nullptr);
    GstVideoInfo info;
    if (gst_query_get_n_allocation_pools(query) == 0 && caps != nullptr &&
        gst_video_info_from_caps(&info, caps)) {
        GstBufferPool* pool = gst_video_buffer_pool_new();
        const auto size = static_cast<guint>(GST_VIDEO_INFO_SIZE(&info));
        gst_query_add_allocation_pool(query, pool, size, 2, 0);
        gst_object_unref(pool);
    }
    return GST_BASE_SRC_CLASS(gst_zorv_db_src_parent_class)->decide_allocation(base_src, query);
}

void install_ring_properties(GObjectClass* gobject_class) {
    g_object_class_install_property(
        gobject_class, PROP_MAX_LEASES,
        g_param_spec_uint("max-leases", "Most leases",
                          "Frame ring: buffers wrapping a leased slot that may be downstream at "
                          "once (never more than the ring allows each reader); past that, frames "
                          "are copied, so downstream that keeps buffers cannot hold the writer's "
                          "slots. 0 copies every frame",
                          0, G_MAXUINT, zorvgst::ring_options{}.leases_per_reader,
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                   GST_PARAM_MUTABLE_READY)));
    zorvplugin::install_counter_property(gobject_class, PROP_FRAMES_LEASED, "frames-leased",
                                         "Frames leased",
                                         "Frames of a frame ring pushed as the leased slot itself, "
                                         "without a copy");
    zorvplugin::install_counter_property(gobject_class, PROP_FRAMES_COPIED, "frames-copied",
                                         "Frames copied",
                                         "Frames of a frame ring copied because no lease was free");
}

void gst_zorv_db_src_set_property(GObject* object, guint id, const GValue* value,
                                  GParamSpec* param) {
    src_state_t& state = *GST_ZORV_DB_SRC(object)->state;
    const zorvplugin::object_lock_t lock(object);
    switch (id) {
    case PROP_TIMEOUT:
        state.timeout = g_value_get_uint64(value);
        break;
    case PROP_MAX_LEASES:
        state.max_leases = g_value_get_uint(value);
        break;
    default:
        if (!zorvplugin::set_buffer_property(state, id, value)) {
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
        }
        break;
    }
}

void gst_zorv_db_src_get_property(GObject* object, guint id, GValue* value, GParamSpec* param) {
    const src_state_t& state = *GST_ZORV_DB_SRC(object)->state;
    const zorvplugin::object_lock_t lock(object);
    switch (id) {
    case PROP_TIMEOUT:
        g_value_set_uint64(value, state.timeout);
        break;
    case PROP_DROPPED:
        g_value_set_uint64(value, state.dropped);
        break;
    case PROP_MAX_LEASES:
        g_value_set_uint(value, state.max_leases);
        break;
    case PROP_FRAMES_LEASED:
        g_value_set_uint64(value, state.frames_leased);
        break;
    case PROP_FRAMES_COPIED:
        g_value_set_uint64(value, state.frames_copied);
        break;
    default:
        if (!zorvplugin::get_buffer_property(state, id, value)) {
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
        }
        break;
    }
}

void gst_zorv_db_src_finalize(GObject* object) {
    auto* self = GST_ZORV_DB_SRC(object);
    delete self->state;
    G_OBJECT_CLASS(gst_zorv_db_src_parent_class)->finalize(object);
}

} // namespace

static void gst_zorv_db_src_class_init(GstZorvDbSrcClass* klass) {
    auto* gobject_class = G_OBJECT_CLASS(klass);
    auto* element_class = GST_ELEMENT_CLASS(klass);
    auto* base_src_class = GST_BASE_SRC_CLASS(klass);
    auto* push_src_class = GST_PUSH_SRC_CLASS(klass);

    GST_DEBUG_CATEGORY_INIT(gst_zorv_db_src_debug, "zorvdbsrc", 0, "zorvgst double-buffer source");
    zorvplugin::register_frame_meta();

    gobject_class->set_property = gst_zorv_db_src_set_property;
    gobject_class->get_property = gst_zorv_db_src_get_property;
    gobject_class->finalize = gst_zorv_db_src_finalize;

    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                GST_PARAM_MUTABLE_READY);
    zorvplugin::install_buffer_properties(
        gobject_class,
        "Name of the double buffer to read (required), as its writer named it; the writer may "
        "start before or after this element",
        "Kind of shared memory behind the buffer; must match the writer's");
    g_object_class_install_property(
        gobject_class, PROP_TIMEOUT,
        g_param_spec_uint64("timeout", "Timeout",
                            "Nanoseconds to wait for the writer and then for each new frame; "
                            "when it expires the element posts a warning and ends the stream "
                            "with EOS. 0 waits forever",
                            0, G_MAXUINT64, 0, flags));
    zorvplugin::install_counter_property(
        gobject_class, PROP_DROPPED, "dropped", "Dropped copies",
        "Copies thrown away because the writer published while the frame was being copied and may "
        "have rewritten it (each is retried at once)");
    install_ring_properties(gobject_class);

    zorvplugin::add_frame_pad_template(element_class, "src", GST_PAD_SRC);

    gst_element_class_set_static_metadata(
        element_class, "Double buffer source", "Source/Video",
        "Live source pushing the newest frame of named shared memory each time its writer "
        "publishes one: a copy of a double buffer's BGRA frame, or a frame ring's slot itself, "
        "leased without a copy; caps follow the buffer's frames, also when the writer changes "
        "them",
        "zorvgst");

    base_src_class->start = gst_zorv_db_src_start;
    base_src_class->stop = gst_zorv_db_src_stop;
    base_src_class->unlock = gst_zorv_db_src_unlock;
    base_src_class->unlock_stop = gst_zorv_db_src_unlock_stop;
    base_src_class->get_caps = gst_zorv_db_src_get_caps;
    base_src_class->negotiate = gst_zorv_db_src_negotiate;
    base_src_class->fixate = gst_zorv_db_src_fixate;
    base_src_class->set_caps = gst_zorv_db_src_set_caps;
    base_src_class->decide_allocation = gst_zorv_db_src_decide_allocation;
    push_src_class->create = gst_zorv_db_src_create;
}

static void gst_zorv_db_src_init(GstZorvDbSrc* self) {
    self->state = new src_state_t();
    gst_video_info_init(&self->state->info);
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}
