// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvdbsink: opens the buffer (double buffer or frame ring) as writer of the negotiated frames
// and publishes each one.
#include "dbsink.h"
#include <algorithm>
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
#include "slot_pool.h"

GST_DEBUG_CATEGORY_STATIC(gst_zorv_db_sink_debug);
#define GST_CAT_DEFAULT gst_zorv_db_sink_debug

namespace {

/// Values of the `layout` property as pipelines and saved settings know them: never renumbered.
enum class layout_choice_t : gint { automatic = 0, double_buffer = 1, ring = 2 };

GType layout_choice_get_type() {
    static GType type = 0;
    if (g_once_init_enter(&type)) {
        static const GEnumValue values[] = {
            {static_cast<gint>(layout_choice_t::automatic),
             "A double buffer for BGRA caps, a frame ring for any other format", "auto"},
            {static_cast<gint>(layout_choice_t::double_buffer), "A double buffer: BGRA caps only",
             "double-buffer"},
            {static_cast<gint>(layout_choice_t::ring),
             "A frame ring (POSIX shared memory), whatever the format", "ring"},
            {0, nullptr, nullptr},
        };
        g_once_init_leave(&type, g_enum_register_static("GstZorvDbSinkLayout", values));
    }
    return type;
}

// The properties (buffer name, backend, layout, the ring's size, zero-copy and the two
// counters) are read and written under the object lock.
struct sink_state_t : zorvplugin::buffer_choice_t {
    bool zero_copy = true;
    guint64 frames_copied = 0;
    guint64 frames_zero_copy = 0;
    layout_choice_t layout = layout_choice_t::automatic;
    guint readers = zorvgst::ring_options{}.readers;
    guint leases_per_reader = zorvgst::ring_options{}.leases_per_reader;
    guint metadata_size = static_cast<guint>(zorvgst::ring_options{}.metadata_bytes);
    GstVideoInfo info{};
    // Owns the writer; shared with the slot pool and with every slot buffer still alive.
    std::shared_ptr<zorvplugin::slot_exchange_t> exchange =
        std::make_shared<zorvplugin::slot_exchange_t>();
    std::string writer_name; // the name the writer was opened with
    // What the writer is (streaming thread): a ring or a double buffer, its frames' layout, and
    // the metadata a ring frame may carry.
    bool writing_ring = false;
    zorvgst::frame_format format;
    std::size_t metadata_capacity = 0;
    bool warned_metadata_cut = false;
    // The frame already published at preroll; PLAYING renders the same buffer once more.
    GstBuffer* prerolled = nullptr;
};

enum {
    PROP_ZERO_COPY = zorvplugin::first_own_property,
    PROP_FRAMES_COPIED,
    PROP_FRAMES_ZERO_COPY,
    PROP_LAYOUT,
    PROP_READERS,
    PROP_LEASES_PER_READER,
    PROP_METADATA_SIZE,
};

} // namespace

struct _GstZorvDbSink {
    GstVideoSink parent;
    sink_state_t* state;
};

G_DEFINE_TYPE(GstZorvDbSink, gst_zorv_db_sink, GST_TYPE_VIDEO_SINK)
GST_ELEMENT_REGISTER_DEFINE(zorvdbsink, "zorvdbsink", GST_RANK_NONE, GST_TYPE_ZORV_DB_SINK)

namespace {

void clear_prerolled(sink_state_t& state) {
    if (state.prerolled != nullptr) {
        gst_buffer_unref(state.prerolled);
        state.prerolled = nullptr;
    }
}

const char* buffer_kind(const sink_state_t& state) {
    return state.writing_ring ? "frame ring" : "double buffer";
}

// The metadata of the frame's ZorvFrameMeta, cut to what a ring slot holds (said once).
void take_metadata(GstZorvDbSink* self, GstBuffer* buffer, zorvplugin::frame_extras_t& extras) {
    sink_state_t& state = *self->state;
    GBytes* metadata = zorvplugin::frame_meta_metadata(buffer);
    if (metadata == nullptr) {
        return;
    }
    gsize size = 0;
    extras.metadata = static_cast<const guint8*>(g_bytes_get_data(metadata, &size));
    if (size > state.metadata_capacity && !state.warned_metadata_cut) {
        state.warned_metadata_cut = true;
        GST_ELEMENT_WARNING(self, STREAM, FORMAT,
                            ("Frame metadata of %" G_GSIZE_FORMAT
                             " bytes cut to the %" G_GSIZE_FORMAT " bytes a slot of \"%s\" holds",
                             size, state.metadata_capacity, state.writer_name.c_str()),
                            ("Raise \"metadata-size\"; this is said once"));
    }
    extras.metadata_size = std::min<std::size_t>(size, state.metadata_capacity);
}

// When the frame stands, in CLOCK_MONOTONIC, and its metadata. Before PLAYING the base time
// means nothing yet: a preroll frame is stamped by the writer at its publication.
zorvplugin::frame_extras_t frame_extras(GstZorvDbSink* self, GstBuffer* buffer, bool prerolling) {
    zorvplugin::frame_extras_t extras;
    if (!self->state->writing_ring) {
        return extras;
    }
    if (!prerolling && GST_BUFFER_PTS_IS_VALID(buffer)) {
        GstBaseSink* sink = GST_BASE_SINK(self);
        GST_OBJECT_LOCK(self);
        const GstClockTime running =
            gst_segment_to_running_time(&sink->segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
        GST_OBJECT_UNLOCK(self);
        extras.timing.pts_ns = zorvplugin::monotonic_at_running_time(GST_ELEMENT(self), running);
    }
    if (GST_BUFFER_DURATION_IS_VALID(buffer)) {
        extras.timing.duration_ns = static_cast<std::int64_t>(GST_BUFFER_DURATION(buffer));
    }
    take_metadata(self, buffer, extras);
    return extras;
}

GstFlowReturn publish(GstZorvDbSink* self, GstBuffer* buffer, bool prerolling) {
    sink_state_t& state = *self->state;
    if (!state.exchange->has_writer()) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("No frame format negotiated"), (nullptr));
        return GST_FLOW_NOT_NEGOTIATED;
    }
    const zorvplugin::frame_extras_t extras = frame_extras(self, buffer, prerolling);
    zorvplugin::slot_check_t check = zorvplugin::slot_check_t::foreign;
    // Planes laid out other than the writer's cannot be the slot's own.
    const GstVideoMeta* meta = gst_buffer_get_video_meta(buffer);
    const bool slot_layout = meta == nullptr || zorvplugin::same_layout(*meta, state.format);
    try {
        if (slot_layout) {
            check = state.exchange->publish_slot(buffer, extras);
        }
    } catch (const std::exception& e) {
        GST_ELEMENT_ERROR(
            self, RESOURCE, WRITE,
            ("Could not write to %s \"%s\"", buffer_kind(state), state.writer_name.c_str()),
            ("%s", e.what()));
        return GST_FLOW_ERROR;
    }
    static const char* const check_names[] = {"copied", "published in place",
                                              "copied after a later publication", "stale"};
    GST_LOG_OBJECT(self, "frame %s", check_names[static_cast<int>(check)]);
    if (check == zorvplugin::slot_check_t::current) {
        // Upstream drew straight into the write slot.
        zorvplugin::add_to_counter(self, state.frames_zero_copy);
        return GST_FLOW_OK;
    }
    if (check == zorvplugin::slot_check_t::stale) {
        // Its slot belongs to a buffer that was reopened or resized since; its size is no
        // longer the negotiated one.
        GST_WARNING_OBJECT(self, "dropping a frame drawn for the previous buffer layout");
        return GST_FLOW_OK;
    }
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &state.info, buffer, GST_MAP_READ)) {
        GST_ELEMENT_ERROR(self, STREAM, FAILED, ("Could not map the incoming frame"), (nullptr));
        return GST_FLOW_ERROR;
    }
    const guint8* planes[GST_VIDEO_MAX_PLANES] = {};
    std::size_t strides[GST_VIDEO_MAX_PLANES] = {};
    for (guint i = 0; i < GST_VIDEO_FRAME_N_PLANES(&frame); ++i) {
        planes[i] = static_cast<const guint8*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, i));
        strides[i] = static_cast<std::size_t>(std::max(0, GST_VIDEO_FRAME_PLANE_STRIDE(&frame, i)));
    }
    GstFlowReturn result = GST_FLOW_OK;
    try {
        state.exchange->publish_copy(planes, strides, extras);
        zorvplugin::add_to_counter(self, state.frames_copied);
    } catch (const std::exception& e) {
        GST_ELEMENT_ERROR(
            self, RESOURCE, WRITE,
            ("Could not write to %s \"%s\"", buffer_kind(state), state.writer_name.c_str()),
            ("%s", e.what()));
        result = GST_FLOW_ERROR;
    }
    gst_video_frame_unmap(&frame);
    return result;
}

gboolean gst_zorv_db_sink_start(GstBaseSink* sink) {
    auto* self = GST_ZORV_DB_SINK(sink);
    GST_OBJECT_LOCK(self);
    const std::string name = self->state->buffer_name;
    GST_OBJECT_UNLOCK(self);
    if (!zorvplugin::library_buffer_name(name)) {
        ZORV_ELEMENT_ERROR_NO_BUFFER_NAME(self, name);
        return FALSE;
    }
    return TRUE;
}

gboolean gst_zorv_db_sink_stop(GstBaseSink* sink) {
    auto* self = GST_ZORV_DB_SINK(sink);
    clear_prerolled(*self->state);
    // The buffer itself stays for its readers; only this process's handle goes.
    self->state->exchange->replace_writer(nullptr);
    return TRUE;
}

// What the properties say to write, read once under the object lock.
struct writer_choice_t {
    std::string name;
    zorvgst::backend backend = zorvgst::backend::posix;
    layout_choice_t layout = layout_choice_t::automatic;
    zorvgst::ring_options options;
};

writer_choice_t writer_choice(GstZorvDbSink* self) {
    const sink_state_t& state = *self->state;
    writer_choice_t choice;
    GST_OBJECT_LOCK(self);
    choice.name = state.buffer_name;
    choice.backend = zorvplugin::library_backend(state.backend);
    choice.layout = state.layout;
    choice.options.readers = state.readers;
    choice.options.leases_per_reader = state.leases_per_reader;
    choice.options.metadata_bytes = state.metadata_size;
    GST_OBJECT_UNLOCK(self);
    return choice;
}

// Whether frames of `format` go into a ring; posts the error and returns nothing when the
// properties allow neither kind of buffer for them.
std::optional<bool> ring_for(GstZorvDbSink* self, const writer_choice_t& choice,
                             GstVideoFormat format) {
    const bool bgra = format == GST_VIDEO_FORMAT_BGRA;
    if (choice.layout == layout_choice_t::double_buffer ||
        (choice.layout == layout_choice_t::automatic && bgra)) {
        if (!bgra) {
            GST_ELEMENT_ERROR(
                self, CORE, NEGOTIATION,
                ("A double buffer holds BGRA frames, not %s", gst_video_format_to_string(format)),
                ("layout=double-buffer"));
            return std::nullopt;
        }
        return false;
    }
    if (choice.backend != zorvgst::backend::posix) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION,
                          ("A frame ring is POSIX shared memory: %s frames cannot be written "
                           "with backend=sysv",
                           gst_video_format_to_string(format)),
                          (nullptr));
        return std::nullopt;
    }
    return true;
}

std::unique_ptr<zorvgst::frame_writer> open_writer(GstZorvDbSink* self,
                                                   const writer_choice_t& choice, bool ring,
                                                   const zorvgst::frame_format& format) {
    // A name changed after start() is left to the library to refuse.
    const std::string library_name =
        zorvplugin::library_buffer_name(choice.name).value_or(choice.name);
    try {
        if (ring) {
            return std::make_unique<zorvgst::frame_writer>(library_name, format, choice.options);
        }
        return std::make_unique<zorvgst::frame_writer>(library_name, format.width, format.height,
                                                       choice.backend);
    } catch (const std::exception& e) {
        // zorvgst::error says why: another live owner, too little shared memory, a bad name.
        if (ring) {
            GST_ELEMENT_ERROR(self, RESOURCE, OPEN_WRITE,
                              ("Could not make frame ring \"%s\" (%s, %ux%u, %u readers with %u "
                               "leases each)",
                               choice.name.c_str(), format.name.c_str(), format.width,
                               format.height, choice.options.readers,
                               choice.options.leases_per_reader),
                              ("%s", e.what()));
        } else {
            GST_ELEMENT_ERROR(self, RESOURCE, OPEN_WRITE,
                              ("Could not open double buffer \"%s\" for writing (%s backend, "
                               "%ux%u)",
                               choice.name.c_str(), zorvgst::backend_name(choice.backend),
                               format.width, format.height),
                              ("%s", e.what()));
        }
        return nullptr;
    }
}

gboolean gst_zorv_db_sink_set_info(GstVideoSink* video_sink, GstCaps* caps,
                                   const GstVideoInfo* info) {
    auto* self = GST_ZORV_DB_SINK(video_sink);
    sink_state_t& state = *self->state;
    const guint width = GST_VIDEO_INFO_WIDTH(info);
    const guint height = GST_VIDEO_INFO_HEIGHT(info);
    GST_DEBUG_OBJECT(self, "caps %" GST_PTR_FORMAT, caps);
    if (width == 0 || height == 0 || width > zorvgst::max_frame_dimension ||
        height > zorvgst::max_frame_dimension) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("Unsupported frame size %ux%u", width, height),
                          (nullptr));
        return FALSE;
    }
    const writer_choice_t choice = writer_choice(self);
    const std::optional<bool> ring = ring_for(self, choice, GST_VIDEO_INFO_FORMAT(info));
    if (!ring) {
        return FALSE;
    }
    const std::optional<zorvgst::frame_format> format = zorvplugin::frame_format_of(*info);
    if (!format) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("Unsupported frame layout"),
                          ("%" GST_PTR_FORMAT, caps));
        return FALSE;
    }
    if (state.exchange->has_writer() && state.writing_ring == *ring && state.format == *format) {
        state.info = *info;
        return TRUE;
    }
    clear_prerolled(state);
    // The old writer goes first. Slot buffers still out keep their own reference to it, so
    // their memory stays mapped while the new writer makes the buffer anew for these frames.
    state.exchange->replace_writer(nullptr);
    std::unique_ptr<zorvgst::frame_writer> writer = open_writer(self, choice, *ring, *format);
    if (!writer) {
        return FALSE;
    }
    if (*ring) {
        GST_INFO_OBJECT(self, "writing %s %ux%u frames to the frame ring \"%s\"",
                        format->name.c_str(), width, height, choice.name.c_str());
    } else {
        GST_INFO_OBJECT(self, "writing %ux%u frames to \"%s\"", width, height, choice.name.c_str());
    }
    state.writing_ring = *ring;
    state.format = *format;
    state.metadata_capacity = writer->metadata_capacity();
    state.exchange->replace_writer(std::move(writer));
    state.writer_name = choice.name;
    state.info = *info;
    return TRUE;
}

GstCaps* gst_zorv_db_sink_get_caps(GstBaseSink* sink, GstCaps* filter) {
    auto* self = GST_ZORV_DB_SINK(sink);
    GST_OBJECT_LOCK(self);
    const layout_choice_t layout = self->state->layout;
    const bool sysv = self->state->backend == zorvplugin::backend_kind_t::sysv;
    GST_OBJECT_UNLOCK(self);
    GstCaps* bgra = zorvplugin::bgra_frame_caps();
    // Upstream that can produce BGRA (a converter, a source of many formats) keeps producing it,
    // so that what it wrote before rings existed stays a double buffer; a ring takes the other
    // formats, or every format when asked for.
    const bool bgra_only = layout == layout_choice_t::double_buffer ||
                           (layout == layout_choice_t::automatic &&
                            (sysv || (filter != nullptr && gst_caps_can_intersect(bgra, filter))));
    GstCaps* caps = bgra_only ? gst_caps_ref(bgra) : zorvplugin::any_frame_caps();
    gst_caps_unref(bgra);
    if (filter != nullptr) {
        // Our order first: BGRA stays the format upstream picks when it may pick any.
        GstCaps* filtered = gst_caps_intersect_full(caps, filter, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = filtered;
    }
    return caps;
}

GstFlowReturn gst_zorv_db_sink_preroll(GstBaseSink* sink, GstBuffer* buffer) {
    auto* self = GST_ZORV_DB_SINK(sink);
    gboolean show_preroll = FALSE;
    g_object_get(self, "show-preroll-frame", &show_preroll, nullptr);
    if (!show_preroll) {
        return GST_FLOW_OK;
    }
    clear_prerolled(*self->state);
    const GstFlowReturn result = publish(self, buffer, true);
    if (result == GST_FLOW_OK) {
        self->state->prerolled = gst_buffer_ref(buffer);
    }
    return result;
}

GstFlowReturn gst_zorv_db_sink_render(GstBaseSink* sink, GstBuffer* buffer) {
    auto* self = GST_ZORV_DB_SINK(sink);
    // Readers count publications as frames: the preroll frame is not published twice.
    const bool already_published = buffer == self->state->prerolled;
    clear_prerolled(*self->state);
    return already_published ? GST_FLOW_OK : publish(self, buffer, false);
}

gboolean gst_zorv_db_sink_propose_allocation(GstBaseSink* sink, GstQuery* query) {
    auto* self = GST_ZORV_DB_SINK(sink);
    GstCaps* caps = nullptr;
    gboolean need_pool = FALSE;
    gst_query_parse_allocation(query, &caps, &need_pool);
    GST_OBJECT_LOCK(self);
    const bool zero_copy = self->state->zero_copy;
    GST_OBJECT_UNLOCK(self);
    GstVideoInfo info;
    std::optional<zorvgst::frame_format> asked;
    if (zero_copy && need_pool && caps != nullptr && gst_video_info_from_caps(&info, caps)) {
        asked = zorvplugin::frame_format_of(info);
    }
    // The pool lends the write slot itself, so frames must have exactly its layout.
    const std::optional<zorvgst::frame_format> writing = self->state->exchange->format();
    if (asked && writing && *asked == *writing) {
        GstBufferPool* pool = zorvplugin::slot_pool_new(self->state->exchange, *asked);
        GstStructure* config = gst_buffer_pool_get_config(pool);
        const auto size = static_cast<guint>(asked->size);
        gst_buffer_pool_config_set_params(config, caps, size, 0, 0);
        if (gst_buffer_pool_set_config(pool, config)) {
            gst_query_add_allocation_pool(query, pool, size, 0, 0);
            GST_DEBUG_OBJECT(self, "offering the write slot to upstream");
        }
        gst_object_unref(pool);
    }
    // Frames with padded rows are welcome too: the copy follows each frame's own strides.
    gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
    return TRUE;
}

void gst_zorv_db_sink_set_property(GObject* object, guint id, const GValue* value,
                                   GParamSpec* param) {
    sink_state_t& state = *GST_ZORV_DB_SINK(object)->state;
    const zorvplugin::object_lock_t lock(object);
    switch (id) {
    case PROP_ZERO_COPY:
        state.zero_copy = g_value_get_boolean(value) != FALSE;
        break;
    case PROP_LAYOUT:
        state.layout = static_cast<layout_choice_t>(g_value_get_enum(value));
        break;
    case PROP_READERS:
        state.readers = g_value_get_uint(value);
        break;
    case PROP_LEASES_PER_READER:
        state.leases_per_reader = g_value_get_uint(value);
        break;
    case PROP_METADATA_SIZE:
        state.metadata_size = g_value_get_uint(value);
        break;
    default:
        if (!zorvplugin::set_buffer_property(state, id, value)) {
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
        }
        break;
    }
}

void gst_zorv_db_sink_get_property(GObject* object, guint id, GValue* value, GParamSpec* param) {
    const sink_state_t& state = *GST_ZORV_DB_SINK(object)->state;
    const zorvplugin::object_lock_t lock(object);
    switch (id) {
    case PROP_ZERO_COPY:
        g_value_set_boolean(value, state.zero_copy ? TRUE : FALSE);
        break;
    case PROP_FRAMES_COPIED:
        g_value_set_uint64(value, state.frames_copied);
        break;
    case PROP_FRAMES_ZERO_COPY:
        g_value_set_uint64(value, state.frames_zero_copy);
        break;
    case PROP_LAYOUT:
        g_value_set_enum(value, static_cast<gint>(state.layout));
        break;
    case PROP_READERS:
        g_value_set_uint(value, state.readers);
        break;
    case PROP_LEASES_PER_READER:
        g_value_set_uint(value, state.leases_per_reader);
        break;
    case PROP_METADATA_SIZE:
        g_value_set_uint(value, state.metadata_size);
        break;
    default:
        if (!zorvplugin::get_buffer_property(state, id, value)) {
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
        }
        break;
    }
}

void gst_zorv_db_sink_finalize(GObject* object) {
    auto* self = GST_ZORV_DB_SINK(object);
    clear_prerolled(*self->state);
    delete self->state;
    G_OBJECT_CLASS(gst_zorv_db_sink_parent_class)->finalize(object);
}

void install_ring_properties(GObjectClass* gobject_class) {
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                GST_PARAM_MUTABLE_READY);
    const zorvgst::ring_options defaults;
    g_object_class_install_property(
        gobject_class, PROP_LAYOUT,
        g_param_spec_enum("layout", "Layout",
                          "What the buffer is made of: auto writes a double buffer for BGRA caps "
                          "and a frame ring for any other raw format; double-buffer accepts BGRA "
                          "only; ring writes a frame ring whatever the format",
                          layout_choice_get_type(), static_cast<gint>(layout_choice_t::automatic),
                          flags));
    gst_type_mark_as_plugin_api(layout_choice_get_type(), static_cast<GstPluginAPIFlags>(0));
    g_object_class_install_property(
        gobject_class, PROP_READERS,
        g_param_spec_uint("readers", "Readers",
                          "Frame ring: readers that may hold frames without copying at once; "
                          "further readers copy",
                          1, 64, defaults.readers, flags));
    g_object_class_install_property(
        gobject_class, PROP_LEASES_PER_READER,
        g_param_spec_uint("leases-per-reader", "Leases per reader",
                          "Frame ring: frames each of those readers may hold at once; the ring "
                          "has readers x leases-per-reader + 2 slots",
                          1, 16, defaults.leases_per_reader, flags));
    g_object_class_install_property(
        gobject_class, PROP_METADATA_SIZE,
        g_param_spec_uint("metadata-size", "Metadata size",
                          "Frame ring: bytes of metadata each frame may carry, taken from the "
                          "ZorvFrameMeta of the incoming buffer (longer metadata is cut)",
                          0, 1u << 20, static_cast<guint>(defaults.metadata_bytes), flags));
}

} // namespace

static void gst_zorv_db_sink_class_init(GstZorvDbSinkClass* klass) {
    auto* gobject_class = G_OBJECT_CLASS(klass);
    auto* element_class = GST_ELEMENT_CLASS(klass);
    auto* base_sink_class = GST_BASE_SINK_CLASS(klass);
    auto* video_sink_class = GST_VIDEO_SINK_CLASS(klass);

    GST_DEBUG_CATEGORY_INIT(gst_zorv_db_sink_debug, "zorvdbsink", 0, "zorvgst double-buffer sink");
    zorvplugin::register_frame_meta();

    gobject_class->set_property = gst_zorv_db_sink_set_property;
    gobject_class->get_property = gst_zorv_db_sink_get_property;
    gobject_class->finalize = gst_zorv_db_sink_finalize;

    zorvplugin::install_buffer_properties(
        gobject_class,
        "Name of the double buffer to write (required); readers open the same name. A POSIX "
        "buffer appears as /dev/shm/NAME",
        "Kind of shared memory behind the buffer");
    g_object_class_install_property(
        gobject_class, PROP_ZERO_COPY,
        g_param_spec_boolean(
            "zero-copy", "Zero copy",
            "Offer upstream a buffer pool that lends the buffer's write slot, so frames in the "
            "buffer's own layout are drawn in place and published without a copy; a frame that "
            "cannot use the slot is copied as usual. Takes effect at the next allocation query",
            TRUE, static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
    zorvplugin::install_counter_property(gobject_class, PROP_FRAMES_COPIED, "frames-copied",
                                         "Frames copied",
                                         "Frames published by copying them into the write slot");
    zorvplugin::install_counter_property(gobject_class, PROP_FRAMES_ZERO_COPY, "frames-zero-copy",
                                         "Frames published in place",
                                         "Frames upstream drew straight into the write slot, "
                                         "published without a copy");
    install_ring_properties(gobject_class);

    zorvplugin::add_frame_pad_template(element_class, "sink", GST_PAD_SINK);

    gst_element_class_set_static_metadata(
        element_class, "Double buffer sink", "Sink/Video",
        "Publishes every frame it receives into named shared memory for zorvdbsrc and library "
        "readers in other processes: BGRA frames into a double buffer, created or resized as "
        "writer at the negotiated size, and frames of any raw format into a frame ring whose "
        "slots readers lease without a copy",
        "zorvgst");

    base_sink_class->start = gst_zorv_db_sink_start;
    base_sink_class->stop = gst_zorv_db_sink_stop;
    base_sink_class->get_caps = gst_zorv_db_sink_get_caps;
    base_sink_class->preroll = gst_zorv_db_sink_preroll;
    base_sink_class->render = gst_zorv_db_sink_render;
    base_sink_class->propose_allocation = gst_zorv_db_sink_propose_allocation;
    video_sink_class->set_info = gst_zorv_db_sink_set_info;
}

static void gst_zorv_db_sink_init(GstZorvDbSink* self) {
    self->state = new sink_state_t();
    gst_video_info_init(&self->state->info);
}
