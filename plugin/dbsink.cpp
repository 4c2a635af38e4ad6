// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvdbsink: opens the buffer as writer at the negotiated size and publishes each frame.
#include "dbsink.h"
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include <gst/video/video.h>

#include <zorvgst/frames.h>
#include <zorvgst/zorvgst.h>

#include "buffer_properties.h"
#include "frame_caps.h"
#include "slot_pool.h"

GST_DEBUG_CATEGORY_STATIC(gst_zorv_db_sink_debug);
#define GST_CAT_DEFAULT gst_zorv_db_sink_debug

namespace {

// The properties (buffer name, backend, zero-copy and the two counters) are read and written
// under the object lock.
struct sink_state_t : zorvplugin::buffer_choice_t {
    bool zero_copy = true;
    guint64 frames_copied = 0;
    guint64 frames_zero_copy = 0;
    GstVideoInfo info{};
    // Owns the writer; shared with the slot pool and with every slot buffer still alive.
    std::shared_ptr<zorvplugin::slot_exchange_t> exchange =
        std::make_shared<zorvplugin::slot_exchange_t>();
    std::string writer_name; // the name the writer was opened with
    // The frame already published at preroll; PLAYING renders the same buffer once more.
    GstBuffer* prerolled = nullptr;
};

enum { PROP_ZERO_COPY = zorvplugin::first_own_property, PROP_FRAMES_COPIED, PROP_FRAMES_ZERO_COPY };

constexpr zorvplugin::own_property_t<sink_state_t> own_properties[] = {
    {PROP_ZERO_COPY, &sink_state_t::zero_copy},
    {PROP_FRAMES_COPIED, &sink_state_t::frames_copied},
    {PROP_FRAMES_ZERO_COPY, &sink_state_t::frames_zero_copy},
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

void count_frame(GstZorvDbSink* self, guint64 sink_state_t::*counter) {
    GST_OBJECT_LOCK(self);
    ++(self->state->*counter);
    GST_OBJECT_UNLOCK(self);
}

GstFlowReturn publish(GstZorvDbSink* self, GstBuffer* buffer) {
    sink_state_t& state = *self->state;
    if (!state.exchange->has_writer()) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("No frame format negotiated"), (nullptr));
        return GST_FLOW_NOT_NEGOTIATED;
    }
    zorvplugin::slot_check_t check = zorvplugin::slot_check_t::foreign;
    // Rows laid out other than packed cannot be the slot's own.
    const GstVideoMeta* meta = gst_buffer_get_video_meta(buffer);
    const bool packed = meta == nullptr || (meta->offset[0] == 0 &&
                                            meta->stride[0] == static_cast<gint>(meta->width) * 4);
    try {
        if (packed) {
            check = state.exchange->publish_slot(buffer);
        }
    } catch (const std::exception& e) {
        GST_ELEMENT_ERROR(self, RESOURCE, WRITE,
                          ("Could not write to double buffer \"%s\"", state.writer_name.c_str()),
                          ("%s", e.what()));
        return GST_FLOW_ERROR;
    }
    static const char* const check_names[] = {"copied", "published in place",
                                              "copied after a later publication", "stale"};
    GST_LOG_OBJECT(self, "frame %s", check_names[static_cast<int>(check)]);
    if (check == zorvplugin::slot_check_t::current) {
        // Upstream drew straight into the write slot.
        count_frame(self, &sink_state_t::frames_zero_copy);
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
    GstFlowReturn result = GST_FLOW_OK;
    try {
        state.exchange->publish_copy(
            static_cast<const guint8*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
            GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
        count_frame(self, &sink_state_t::frames_copied);
    } catch (const std::exception& e) {
        GST_ELEMENT_ERROR(self, RESOURCE, WRITE,
                          ("Could not write to double buffer \"%s\"", state.writer_name.c_str()),
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
    if (state.exchange->has_writer() &&
        GST_VIDEO_INFO_WIDTH(&state.info) == static_cast<gint>(width) &&
        GST_VIDEO_INFO_HEIGHT(&state.info) == static_cast<gint>(height)) {
        state.info = *info;
        return TRUE;
    }
    clear_prerolled(state);
    // The old writer goes first. Slot buffers still out keep their own reference to it, so
    // their memory stays mapped while the new writer makes the buffer anew at its size.
    state.exchange->replace_writer(nullptr);
    GST_OBJECT_LOCK(self);
    const std::string name = state.buffer_name;
    const zorvgst::backend backend = zorvplugin::library_backend(state.backend);
    GST_OBJECT_UNLOCK(self);
    std::unique_ptr<zorvgst::frame_writer> writer;
    try {
        // A name changed after start() is left to the library to refuse.
        writer = std::make_unique<zorvgst::frame_writer>(
            zorvplugin::library_buffer_name(name).value_or(name), width, height, backend);
    } catch (const std::exception& e) {
        // zorvgst::error says why: another live owner, too little shared memory, a bad name.
        GST_ELEMENT_ERROR(self, RESOURCE, OPEN_WRITE,
                          ("Could not open double buffer \"%s\" for writing (%s backend, %ux%u)",
                           name.c_str(), zorvgst::backend_name(backend), width, height),
                          ("%s", e.what()));
        return FALSE;
    }
    GST_INFO_OBJECT(self, "writing %ux%u frames to \"%s\"", width, height, name.c_str());
    state.exchange->replace_writer(std::move(writer));
    state.writer_name = name;
    state.info = *info;
    return TRUE;
}

GstFlowReturn gst_zorv_db_sink_preroll(GstBaseSink* sink, GstBuffer* buffer) {
    auto* self = GST_ZORV_DB_SINK(sink);
    gboolean show_preroll = FALSE;
    g_object_get(self, "show-preroll-frame", &show_preroll, nullptr);
    if (!show_preroll) {
        return GST_FLOW_OK;
    }
    clear_prerolled(*self->state);
    const GstFlowReturn result = publish(self, buffer);
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
    return already_published ? GST_FLOW_OK : publish(self, buffer);
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
    // The pool lends the write slot itself, so frames must have exactly its layout: packed
    // BGRA rows at the negotiated size.
    if (zero_copy && need_pool && caps != nullptr && gst_video_info_from_caps(&info, caps) &&
        GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_BGRA &&
        GST_VIDEO_INFO_PLANE_STRIDE(&info, 0) == GST_VIDEO_INFO_WIDTH(&info) * 4 &&
        GST_VIDEO_INFO_WIDTH(&info) == GST_VIDEO_INFO_WIDTH(&self->state->info) &&
        GST_VIDEO_INFO_HEIGHT(&info) == GST_VIDEO_INFO_HEIGHT(&self->state->info) &&
        self->state->exchange->has_writer()) {
        const auto width = static_cast<std::uint32_t>(GST_VIDEO_INFO_WIDTH(&info));
        const auto height = static_cast<std::uint32_t>(GST_VIDEO_INFO_HEIGHT(&info));
        GstBufferPool* pool = zorvplugin::slot_pool_new(self->state->exchange, width, height);
        GstStructure* config = gst_buffer_pool_get_config(pool);
        gst_buffer_pool_config_set_params(config, caps, GST_VIDEO_INFO_SIZE(&info), 0, 0);
        if (gst_buffer_pool_set_config(pool, config)) {
            gst_query_add_allocation_pool(query, pool, GST_VIDEO_INFO_SIZE(&info), 0, 0);
            GST_DEBUG_OBJECT(self, "offering the write slot to upstream");
        }
        gst_object_unref(pool);
    }
    // Frames with padded rows are welcome too: the copy follows each frame's own strides.
    gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
    return TRUE;
}

void gst_zorv_db_sink_finalize(GObject* object) {
    auto* self = GST_ZORV_DB_SINK(object);
    clear_prerolled(*self->state);
    delete self->state;
    G_OBJECT_CLASS(gst_zorv_db_sink_parent_class)->finalize(object);
}

} // namespace

static void gst_zorv_db_sink_class_init(GstZorvDbSinkClass* klass) {
    auto* gobject_class = G_OBJECT_CLASS(klass);
    auto* element_class = GST_ELEMENT_CLASS(klass);
    auto* base_sink_class = GST_BASE_SINK_CLASS(klass);
    auto* video_sink_class = GST_VIDEO_SINK_CLASS(klass);

    GST_DEBUG_CATEGORY_INIT(gst_zorv_db_sink_debug, "zorvdbsink", 0, "zorvgst double-buffer sink");

    gobject_class->set_property = zorvplugin::set_element_property<GstZorvDbSink, own_properties>;
    gobject_class->get_property = zorvplugin::get_element_property<GstZorvDbSink, own_properties>;
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
            "Offer upstream a buffer pool that lends the buffer's write slot, so packed BGRA "
            "frames are drawn in place and published without a copy; a frame that cannot use "
            "the slot is copied as usual. Takes effect at the next allocation query",
            TRUE, static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
    const auto counter_flags = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
    g_object_class_install_property(
        gobject_class, PROP_FRAMES_COPIED,
        g_param_spec_uint64("frames-copied", "Frames copied",
                            "Frames published by copying them into the write slot", 0, G_MAXUINT64,
                            0, counter_flags));
    g_object_class_install_property(
        gobject_class, PROP_FRAMES_ZERO_COPY,
        g_param_spec_uint64("frames-zero-copy", "Frames published in place",
                            "Frames upstream drew straight into the write slot, published "
                            "without a copy",
                            0, G_MAXUINT64, 0, counter_flags));

    zorvplugin::add_frame_pad_template(element_class, "sink", GST_PAD_SINK);

    gst_element_class_set_static_metadata(
        element_class, "Double buffer sink", "Sink/Video",
        "Publishes every BGRA frame it receives into a named shared-memory double buffer, "
        "created or resized as writer at the negotiated size, for zorvdbsrc and library readers "
        "in other processes",
        "zorvgst");

    base_sink_class->start = gst_zorv_db_sink_start;
    base_sink_class->stop = gst_zorv_db_sink_stop;
    base_sink_class->preroll = gst_zorv_db_sink_preroll;
    base_sink_class->render = gst_zorv_db_sink_render;
    base_sink_class->propose_allocation = gst_zorv_db_sink_propose_allocation;
    video_sink_class->set_info = gst_zorv_db_sink_set_info;
}

static void gst_zorv_db_sink_init(GstZorvDbSink* self) {
    self->state = new sink_state_t();
    gst_video_info_init(&self->state->info);
}
