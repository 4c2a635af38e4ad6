// zorvdbsrc: waits for each publication of a double buffer and pushes a copy of the frame.
#include "dbsrc.h"
#include <atomic>
#include <chrono>
#include <exception>
#include <limits>
#include <memory>
#include <string>

#include <gst/video/video.h>

#include <zorvgst/zorvgst.h>

#include "backend.h"
#include "elements_common.h"
#include "frame_grab.h"

GST_DEBUG_CATEGORY_STATIC(gst_zorv_db_src_debug);
#define GST_CAT_DEFAULT gst_zorv_db_src_debug

namespace {

using steady_clock = std::chrono::steady_clock;

// How long one wait may last before flushing and the deadline are looked at again.
constexpr std::chrono::milliseconds wait_slice(10);
constexpr unsigned max_copy_attempts = 3;

struct src_state_t {
    // Properties, under the element's lock.
    std::string buffer_name;
    zorvplugin::backend_kind_t backend = zorvplugin::backend_kind_t::posix;
    guint64 timeout = 0;

    // Streaming state, owned by the streaming thread between start() and stop().
    std::string active_name;
    zorvplugin::backend_kind_t active_backend = zorvplugin::backend_kind_t::posix;
    guint64 active_timeout = 0;
    std::unique_ptr<zorvplugin::frame_reader_t> reader;
    GstVideoInfo info{};
    boost::posix_time::ptime last_shown;
    GstClockTime last_pts = GST_CLOCK_TIME_NONE;
    bool discont = true;
    guint64 produced = 0;

    // Read by caps queries on other threads.
    std::atomic<guint> width{0};
    std::atomic<guint> height{0};
    std::atomic<bool> flushing{false};
    std::atomic<guint64> dropped{0};
};

enum { PROP_0, PROP_BUFFER_NAME, PROP_BACKEND, PROP_TIMEOUT, PROP_DROPPED };

} // namespace

struct _GstZorvDbSrc {
    GstPushSrc parent;
    GMutex lock;
    src_state_t* state;
};

G_DEFINE_TYPE(GstZorvDbSrc, gst_zorv_db_src, GST_TYPE_PUSH_SRC)
GST_ELEMENT_REGISTER_DEFINE(zorvdbsrc, "zorvdbsrc", GST_RANK_NONE, GST_TYPE_ZORV_DB_SRC)

namespace {

bool valid_buffer_name(const std::string& name) {
    const std::string base = name.rfind('/', 0) == 0 ? name.substr(1) : name;
    return !base.empty() && base != "." && base != ".." && base.find('/') == std::string::npos;
}

enum class wait_result_t { ready, flushing, timed_out };

// Waits until the reader is attached and holds a frame newer than the last one pushed.
wait_result_t wait_for_new_frame(GstZorvDbSrc* self, steady_clock::time_point deadline) {
    src_state_t& state = *self->state;
    while (true) {
        if (state.flushing.load()) {
            return wait_result_t::flushing;
        }
        if (state.reader && state.reader->try_open()) {
            if (state.reader->layout_changed()) {
                GST_INFO_OBJECT(self, "buffer \"%s\" was resized or replaced; reopening",
                                state.active_name.c_str());
                state.reader = zorvplugin::make_reader(state.active_backend, state.active_name);
                continue;
            }
            const boost::posix_time::ptime written = state.reader->last_write_time();
            if (!written.is_special() && written != state.last_shown) {
                return wait_result_t::ready;
            }
        }
        if (steady_clock::now() >= deadline) {
            return wait_result_t::timed_out;
        }
        if (state.reader && state.reader->try_open()) {
            state.reader->wait_for_write(wait_slice);
        } else {
            g_usleep(std::chrono::microseconds(wait_slice).count());
        }
    }
}

GstClockTime pipeline_running_time(GstZorvDbSrc* self, boost::posix_time::ptime published) {
    GstClock* clock = gst_element_get_clock(GST_ELEMENT(self));
    if (clock == nullptr) {
        return GST_CLOCK_TIME_NONE;
    }
    const GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(self));
    GstClockTime running = now > base ? now - base : 0;
    // Date the frame back to its publication when the writer's stamp is plausible (same
    // machine, local time, less than a second old).
    const boost::posix_time::time_duration age =
        boost::posix_time::microsec_clock::local_time() - published;
    if (!published.is_special() && !age.is_negative() && age < boost::posix_time::seconds(1)) {
        const GstClockTime age_ns = static_cast<GstClockTime>(age.total_microseconds()) * 1000;
        running = running > age_ns ? running - age_ns : 0;
    }
    return running;
}

GstFlowReturn gst_zorv_db_src_create(GstPushSrc* push_src, GstBuffer** out) {
    auto* self = GST_ZORV_DB_SRC(push_src);
    auto* base_src = GST_BASE_SRC(push_src);
    src_state_t& state = *self->state;
    // Timeouts beyond a century mean "forever" too, and keep the sum below from overflowing.
    constexpr guint64 longest_timeout = 100ull * 365 * 24 * 3600 * GST_SECOND;
    const auto deadline =
        state.active_timeout == 0 || state.active_timeout > longest_timeout
            ? steady_clock::time_point::max()
            : steady_clock::now() + std::chrono::nanoseconds(state.active_timeout);
    try {
        while (true) {
            switch (wait_for_new_frame(self, deadline)) {
            case wait_result_t::flushing:
                return GST_FLOW_FLUSHING;
            case wait_result_t::timed_out:
                GST_ELEMENT_WARNING(self, RESOURCE, READ,
                                    ("No new frame in double buffer \"%s\" within %" GST_TIME_FORMAT
                                     "; ending the stream",
                                     state.active_name.c_str(),
                                     GST_TIME_ARGS(state.active_timeout)),
                                    (nullptr));
                return GST_FLOW_EOS;
            case wait_result_t::ready:
                break;
            }
            zorvplugin::frame_reader_t& reader = *state.reader;
            if (reader.width() != state.width.load() || reader.height() != state.height.load()) {
                GST_INFO_OBJECT(self, "frames of \"%s\" are %ux%u", state.active_name.c_str(),
                                reader.width(), reader.height());
                state.width = reader.width();
                state.height = reader.height();
                if (!gst_base_src_negotiate(base_src)) {
                    GST_ELEMENT_ERROR(
                        self, CORE, NEGOTIATION,
                        ("Downstream refuses %ux%u BGRA frames", reader.width(), reader.height()),
                        (nullptr));
                    return GST_FLOW_NOT_NEGOTIATED;
                }
                state.discont = true;
            }
            GstBuffer* buffer = nullptr;
            const GstFlowReturn alloc_result =
                GST_BASE_SRC_CLASS(gst_zorv_db_src_parent_class)
                    ->alloc(base_src, GST_BUFFER_OFFSET_NONE, GST_VIDEO_INFO_SIZE(&state.info),
                            &buffer);
            if (alloc_result != GST_FLOW_OK) {
                return alloc_result;
            }
            GstVideoFrame frame;
            if (!gst_video_frame_map(&frame, &state.info, buffer, GST_MAP_WRITE)) {
                gst_buffer_unref(buffer);
                GST_ELEMENT_ERROR(self, STREAM, FAILED, ("Could not map an output buffer"),
                                  (nullptr));
                return GST_FLOW_ERROR;
            }
            const zorvplugin::grab_result_t grab = zorvplugin::grab_newest_frame(
                reader, static_cast<guint8*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
                GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0), max_copy_attempts);
            gst_video_frame_unmap(&frame);
            if (grab.dropped > 0) {
                state.dropped += grab.dropped;
                GST_INFO_OBJECT(self,
                                "dropped %u torn cop%s of \"%s\" (%" G_GUINT64_FORMAT " in all)",
                                grab.dropped, grab.dropped == 1 ? "y" : "ies",
                                state.active_name.c_str(), state.dropped.load());
                g_object_notify(G_OBJECT(self), "dropped");
            }
            if (grab.kind != zorvplugin::grab_result_t::copied) {
                gst_buffer_unref(buffer);
                continue;
            }
            state.last_shown = grab.shown;
            GstClockTime pts = pipeline_running_time(self, grab.shown);
            // The writer's wall-clock stamp may jump; the stream's timestamps never go back.
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
            *out = buffer;
            return GST_FLOW_OK;
        }
    } catch (const std::exception& e) {
        GST_ELEMENT_ERROR(self, RESOURCE, READ,
                          ("Could not read double buffer \"%s\"", state.active_name.c_str()),
                          ("%s", e.what()));
        return GST_FLOW_ERROR;
    }
}

gboolean gst_zorv_db_src_start(GstBaseSrc* base_src) {
    auto* self = GST_ZORV_DB_SRC(base_src);
    src_state_t& state = *self->state;
    g_mutex_lock(&self->lock);
    state.active_name = state.buffer_name;
    state.active_backend = state.backend;
    state.active_timeout = state.timeout;
    g_mutex_unlock(&self->lock);
    if (!valid_buffer_name(state.active_name)) {
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND,
                          ("No valid buffer name set (property \"buffer-name\")"),
                          ("buffer-name is \"%s\"", state.active_name.c_str()));
        return FALSE;
    }
    if (!zorvplugin::backend_available(state.active_backend)) {
        GST_ELEMENT_ERROR(
            self, RESOURCE, SETTINGS,
            ("backend not available: %s", zorvplugin::backend_label(state.active_backend)),
            (nullptr));
        return FALSE;
    }
    state.reader = zorvplugin::make_reader(state.active_backend, state.active_name);
    state.width = 0;
    state.height = 0;
    state.last_shown = boost::posix_time::ptime();
    state.last_pts = GST_CLOCK_TIME_NONE;
    state.discont = true;
    state.produced = 0;
    gst_video_info_init(&state.info);
    return TRUE;
}

gboolean gst_zorv_db_src_stop(GstBaseSrc* base_src) {
    auto* self = GST_ZORV_DB_SRC(base_src);
    self->state->reader.reset();
    self->state->width = 0;
    self->state->height = 0;
    return TRUE;
}

gboolean gst_zorv_db_src_unlock(GstBaseSrc* base_src) {
    GST_ZORV_DB_SRC(base_src)->state->flushing = true;
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
    if (width != 0 && height != 0) {
        caps = gst_caps_make_writable(caps);
        gst_caps_set_simple(caps, "width", G_TYPE_INT, static_cast<gint>(width), "height",
                            G_TYPE_INT, static_cast<gint>(height), nullptr);
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

void gst_zorv_db_src_set_property(GObject* object, guint id, const GValue* value,
                                  GParamSpec* param) {
    auto* self = GST_ZORV_DB_SRC(object);
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
    case PROP_TIMEOUT:
        self->state->timeout = g_value_get_uint64(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
        break;
    }
    g_mutex_unlock(&self->lock);
}

void gst_zorv_db_src_get_property(GObject* object, guint id, GValue* value, GParamSpec* param) {
    auto* self = GST_ZORV_DB_SRC(object);
    g_mutex_lock(&self->lock);
    switch (id) {
    case PROP_BUFFER_NAME:
        g_value_set_string(
            value, self->state->buffer_name.empty() ? nullptr : self->state->buffer_name.c_str());
        break;
    case PROP_BACKEND:
        g_value_set_enum(value, static_cast<gint>(self->state->backend));
        break;
    case PROP_TIMEOUT:
        g_value_set_uint64(value, self->state->timeout);
        break;
    case PROP_DROPPED:
        g_value_set_uint64(value, self->state->dropped.load());
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
        break;
    }
    g_mutex_unlock(&self->lock);
}

void gst_zorv_db_src_finalize(GObject* object) {
    auto* self = GST_ZORV_DB_SRC(object);
    delete self->state;
    g_mutex_clear(&self->lock);
    G_OBJECT_CLASS(gst_zorv_db_src_parent_class)->finalize(object);
}

} // namespace

static void gst_zorv_db_src_class_init(GstZorvDbSrcClass* klass) {
    auto* gobject_class = G_OBJECT_CLASS(klass);
    auto* element_class = GST_ELEMENT_CLASS(klass);
    auto* base_src_class = GST_BASE_SRC_CLASS(klass);
    auto* push_src_class = GST_PUSH_SRC_CLASS(klass);

    GST_DEBUG_CATEGORY_INIT(gst_zorv_db_src_debug, "zorvdbsrc", 0, "zorvgst double-buffer source");

    gobject_class->set_property = gst_zorv_db_src_set_property;
    gobject_class->get_property = gst_zorv_db_src_get_property;
    gobject_class->finalize = gst_zorv_db_src_finalize;

    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                GST_PARAM_MUTABLE_READY);
    g_object_class_install_property(
        gobject_class, PROP_BUFFER_NAME,
        g_param_spec_string("buffer-name", "Buffer name",
                            "Name of the double buffer to read (required), as its writer named "
                            "it; the writer may start before or after this element",
                            nullptr, flags));
    g_object_class_install_property(
        gobject_class, PROP_BACKEND,
        g_param_spec_enum("backend", "Backend",
                          "Kind of shared memory behind the buffer; must match the writer's",
                          GST_TYPE_ZORV_DB_BACKEND,
                          static_cast<gint>(zorvplugin::backend_kind_t::posix), flags));
    g_object_class_install_property(
        gobject_class, PROP_TIMEOUT,
        g_param_spec_uint64("timeout", "Timeout",
                            "Nanoseconds to wait for the writer and then for each new frame; "
                            "when it expires the element posts a warning and ends the stream "
                            "with EOS. 0 waits forever",
                            0, G_MAXUINT64, 0, flags));
    g_object_class_install_property(
        gobject_class, PROP_DROPPED,
        g_param_spec_uint64("dropped", "Dropped copies",
                            "Copies thrown away because the writer published while the frame was "
                            "being copied and may have rewritten it (each is retried at once)",
                            0, G_MAXUINT64, 0,
                            static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));

    GstCaps* caps = gst_caps_from_string(COLORSPACE_CAPS_STRING);
    gst_caps_set_simple(caps, "width", GST_TYPE_INT_RANGE, 1,
                        static_cast<int>(zorvplugin::max_dimension), "height", GST_TYPE_INT_RANGE,
                        1, static_cast<int>(zorvplugin::max_dimension), "framerate",
                        GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1, nullptr);
    gst_element_class_add_pad_template(
        element_class, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, caps));
    gst_caps_unref(caps);

    gst_element_class_set_static_metadata(
        element_class, "Double buffer source", "Source/Video",
        "Live source pushing the newest BGRA frame of a named shared-memory double buffer each "
        "time its writer publishes one; caps follow the buffer's frame size, also when the "
        "writer resizes it",
        "zorvgst");

    base_src_class->start = gst_zorv_db_src_start;
    base_src_class->stop = gst_zorv_db_src_stop;
    base_src_class->unlock = gst_zorv_db_src_unlock;
    base_src_class->unlock_stop = gst_zorv_db_src_unlock_stop;
    base_src_class->get_caps = gst_zorv_db_src_get_caps;
    base_src_class->negotiate = gst_zorv_db_src_negotiate;
    base_src_class->fixate = gst_zorv_db_src_fixate;
    base_src_class->set_caps = gst_zorv_db_src_set_caps;
    push_src_class->create = gst_zorv_db_src_create;
}

static void gst_zorv_db_src_init(GstZorvDbSrc* self) {
    g_mutex_init(&self->lock);
    self->state = new src_state_t();
    gst_video_info_init(&self->state->info);
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}
