// zorvdbsink: opens the buffer as writer at the negotiated size and publishes each frame.
#include "dbsink.h"
#include <exception>
#include <memory>
#include <string>

#include <gst/video/video.h>

#include <zorvgst/zorvgst.h>

#include "backend.h"
#include "elements_common.h"
#include "frame_copy.h"

GST_DEBUG_CATEGORY_STATIC(gst_zorv_db_sink_debug);
#define GST_CAT_DEFAULT gst_zorv_db_sink_debug

namespace {

struct sink_state_t {
    std::string buffer_name;
    zorvplugin::backend_kind_t backend = zorvplugin::backend_kind_t::posix;
    GstVideoInfo info{};
    std::unique_ptr<zorvplugin::frame_writer_t> writer;
    std::string writer_name; // the name the writer was opened with
    // The frame already published at preroll; PLAYING renders the same buffer once more.
    GstBuffer* prerolled = nullptr;
};

enum { PROP_0, PROP_BUFFER_NAME, PROP_BACKEND };

} // namespace

struct _GstZorvDbSink {
    GstVideoSink parent;
    GMutex lock; // guards the properties against the streaming thread
    sink_state_t* state;
};

G_DEFINE_TYPE(GstZorvDbSink, gst_zorv_db_sink, GST_TYPE_VIDEO_SINK)
GST_ELEMENT_REGISTER_DEFINE(zorvdbsink, "zorvdbsink", GST_RANK_NONE, GST_TYPE_ZORV_DB_SINK)

namespace {

bool valid_buffer_name(const std::string& name) {
    const std::string base = name.rfind('/', 0) == 0 ? name.substr(1) : name;
    return !base.empty() && base != "." && base != ".." && base.find('/') == std::string::npos;
}

void clear_prerolled(sink_state_t& state) {
    if (state.prerolled != nullptr) {
        gst_buffer_unref(state.prerolled);
        state.prerolled = nullptr;
    }
}

GstFlowReturn publish(GstZorvDbSink* self, GstBuffer* buffer) {
    sink_state_t& state = *self->state;
    if (!state.writer) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("No frame format negotiated"), (nullptr));
        return GST_FLOW_NOT_NEGOTIATED;
    }
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &state.info, buffer, GST_MAP_READ)) {
        GST_ELEMENT_ERROR(self, STREAM, FAILED, ("Could not map the incoming frame"), (nullptr));
        return GST_FLOW_ERROR;
    }
    GstFlowReturn result = GST_FLOW_OK;
    try {
        guint8* slot = state.writer->begin_frame();
        zorvplugin::copy_frame(
            static_cast<const guint8*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
            GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0), slot, GST_VIDEO_INFO_WIDTH(&state.info) * 4u,
            GST_VIDEO_INFO_WIDTH(&state.info), GST_VIDEO_INFO_HEIGHT(&state.info));
        state.writer->publish();
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
    g_mutex_lock(&self->lock);
    const std::string name = self->state->buffer_name;
    const auto backend = self->state->backend;
    g_mutex_unlock(&self->lock);
    if (!valid_buffer_name(name)) {
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND,
                          ("No valid buffer name set (property \"buffer-name\")"),
                          ("buffer-name is \"%s\"", name.c_str()));
        return FALSE;
    }
    if (!zorvplugin::backend_available(backend)) {
        GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS,
                          ("backend not available: %s", zorvplugin::backend_label(backend)),
                          (nullptr));
        return FALSE;
    }
    return TRUE;
}

gboolean gst_zorv_db_sink_stop(GstBaseSink* sink) {
    auto* self = GST_ZORV_DB_SINK(sink);
    clear_prerolled(*self->state);
    // The buffer itself stays for its readers; only this process's handle goes.
    self->state->writer.reset();
    return TRUE;
}

gboolean gst_zorv_db_sink_set_info(GstVideoSink* video_sink, GstCaps* caps,
                                   const GstVideoInfo* info) {
    auto* self = GST_ZORV_DB_SINK(video_sink);
    sink_state_t& state = *self->state;
    const guint width = GST_VIDEO_INFO_WIDTH(info);
    const guint height = GST_VIDEO_INFO_HEIGHT(info);
    GST_DEBUG_OBJECT(self, "caps %" GST_PTR_FORMAT, caps);
    if (width == 0 || height == 0 || width > zorvplugin::max_dimension ||
        height > zorvplugin::max_dimension) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("Unsupported frame size %ux%u", width, height),
                          (nullptr));
        return FALSE;
    }
    if (state.writer && GST_VIDEO_INFO_WIDTH(&state.info) == static_cast<gint>(width) &&
        GST_VIDEO_INFO_HEIGHT(&state.info) == static_cast<gint>(height)) {
        state.info = *info;
        return TRUE;
    }
    clear_prerolled(state);
    state.writer.reset();
    g_mutex_lock(&self->lock);
    const std::string name = state.buffer_name;
    const auto backend = state.backend;
    g_mutex_unlock(&self->lock);
    std::string reason;
    try {
        state.writer = zorvplugin::open_writer(backend, name, width, height, reason);
    } catch (const std::exception& e) {
        reason = e.what();
    }
    if (!state.writer) {
        GST_ELEMENT_ERROR(self, RESOURCE, OPEN_WRITE,
                          ("Could not open double buffer \"%s\" for writing (%s backend, %ux%u)",
                           name.c_str(), zorvplugin::backend_label(backend), width, height),
                          ("%s", reason.c_str()));
        return FALSE;
    }
    GST_INFO_OBJECT(self, "writing %ux%u frames to \"%s\"", width, height, name.c_str());
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

gboolean gst_zorv_db_sink_propose_allocation(GstBaseSink*, GstQuery* query) {
    // Frames with padded rows are welcome: the copy follows each frame's own strides.
    gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
    return TRUE;
}

void gst_zorv_db_sink_set_property(GObject* object, guint id, const GValue* value,
                                   GParamSpec* param) {
    auto* self = GST_ZORV_DB_SINK(object);
    g_mutex_lock(&self->lock);
    switch (id) {
    case PROP_BUFFER_NAME: {
        const gchar* name = g_value_get_string(value);
        self->state->buffer_name = name != nullptr ? name : "";
        break;
    }
    case PROP_BACKEND:
        self->state->backend = static_cast<zorvplugin::backend_kind_t>(g_value_get_enum(value));
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
        break;
    }
    g_mutex_unlock(&self->lock);
}

void gst_zorv_db_sink_get_property(GObject* object, guint id, GValue* value, GParamSpec* param) {
    auto* self = GST_ZORV_DB_SINK(object);
    g_mutex_lock(&self->lock);
    switch (id) {
    case PROP_BUFFER_NAME:
        g_value_set_string(
            value, self->state->buffer_name.empty() ? nullptr : self->state->buffer_name.c_str());
        break;
    case PROP_BACKEND:
        g_value_set_enum(value, static_cast<gint>(self->state->backend));
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
        break;
    }
    g_mutex_unlock(&self->lock);
}

void gst_zorv_db_sink_finalize(GObject* object) {
    auto* self = GST_ZORV_DB_SINK(object);
    clear_prerolled(*self->state);
    delete self->state;
    g_mutex_clear(&self->lock);
    G_OBJECT_CLASS(gst_zorv_db_sink_parent_class)->finalize(object);
}

} // namespace

static void gst_zorv_db_sink_class_init(GstZorvDbSinkClass* klass) {
    auto* gobject_class = G_OBJECT_CLASS(klass);
    auto* element_class = GST_ELEMENT_CLASS(klass);
    auto* base_sink_class = GST_BASE_SINK_CLASS(klass);
    auto* video_sink_class = GST_VIDEO_SINK_CLASS(klass);

    GST_DEBUG_CATEGORY_INIT(gst_zorv_db_sink_debug, "zorvdbsink", 0, "zorvgst double-buffer sink");

    gobject_class->set_property = gst_zorv_db_sink_set_property;
    gobject_class->get_property = gst_zorv_db_sink_get_property;
    gobject_class->finalize = gst_zorv_db_sink_finalize;

    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                GST_PARAM_MUTABLE_READY);
    g_object_class_install_property(
        gobject_class, PROP_BUFFER_NAME,
        g_param_spec_string("buffer-name", "Buffer name",
                            "Name of the double buffer to write (required); readers open the "
                            "same name. A POSIX buffer appears as /dev/shm/NAME",
                            nullptr, flags));
    g_object_class_install_property(
        gobject_class, PROP_BACKEND,
        g_param_spec_enum("backend", "Backend", "Kind of shared memory behind the buffer",
                          GST_TYPE_ZORV_DB_BACKEND,
                          static_cast<gint>(zorvplugin::backend_kind_t::posix), flags));

    GstCaps* caps = gst_caps_from_string(COLORSPACE_CAPS_STRING);
    gst_caps_set_simple(caps, "width", GST_TYPE_INT_RANGE, 1,
                        static_cast<int>(zorvplugin::max_dimension), "height", GST_TYPE_INT_RANGE,
                        1, static_cast<int>(zorvplugin::max_dimension), "framerate",
                        GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1, nullptr);
    gst_element_class_add_pad_template(
        element_class, gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS, caps));
    gst_caps_unref(caps);

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

    gst_type_mark_as_plugin_api(GST_TYPE_ZORV_DB_BACKEND, static_cast<GstPluginAPIFlags>(0));
}

static void gst_zorv_db_sink_init(GstZorvDbSink* self) {
    g_mutex_init(&self->lock);
    self->state = new sink_state_t();
    gst_video_info_init(&self->state->info);
}
