// SPDX-License-Identifier: LGPL-2.1-or-later
// The backend enumeration type, the buffer properties and the buffer names both elements share.
#include "buffer_properties.h"

#include <zorvgst/buffer_name.h>

GType gst_zorv_db_backend_get_type(void) {
    static GType type = 0;
    if (g_once_init_enter(&type)) {
        static const GEnumValue values[] = {
            {static_cast<gint>(zorvplugin::backend_kind_t::posix),
             "POSIX shared memory (/dev/shm/NAME)", "posix"},
            {static_cast<gint>(zorvplugin::backend_kind_t::sysv),
             "System V segment found through the key file /dev/shm/NAME", "sysv"},
            {0, nullptr, nullptr},
        };
        g_once_init_leave(&type, g_enum_register_static("GstZorvDbBackend", values));
    }
    return type;
}

namespace zorvplugin {

zorvgst::backend library_backend(backend_kind_t kind) {
    return kind == backend_kind_t::sysv ? zorvgst::backend::sysv : zorvgst::backend::posix;
}

void install_buffer_properties(GObjectClass* klass, const char* name_blurb,
                               const char* backend_blurb) {
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                GST_PARAM_MUTABLE_READY);
    g_object_class_install_property(
        klass, prop_buffer_name,
        g_param_spec_string("buffer-name", "Buffer name", name_blurb, nullptr, flags));
    g_object_class_install_property(
        klass, prop_backend,
        g_param_spec_enum("backend", "Backend", backend_blurb, GST_TYPE_ZORV_DB_BACKEND,
                          static_cast<gint>(backend_kind_t::posix), flags));
    // Documented with the elements, though no element of its own.
    gst_type_mark_as_plugin_api(GST_TYPE_ZORV_DB_BACKEND, static_cast<GstPluginAPIFlags>(0));
}

bool set_buffer_property(buffer_choice_t& choice, guint id, const GValue* value) {
    if (id == prop_buffer_name) {
        const gchar* name = g_value_get_string(value);
        choice.buffer_name = name != nullptr ? name : "";
        return true;
    }
    if (id == prop_backend) {
        choice.backend = static_cast<backend_kind_t>(g_value_get_enum(value));
        return true;
    }
    return false;
}

bool get_buffer_property(const buffer_choice_t& choice, guint id, GValue* value) {
    if (id == prop_buffer_name) {
        g_value_set_string(value,
                           choice.buffer_name.empty() ? nullptr : choice.buffer_name.c_str());
        return true;
    }
    if (id == prop_backend) {
        g_value_set_enum(value, static_cast<gint>(choice.backend));
        return true;
    }
    return false;
}

std::optional<std::string> library_buffer_name(const std::string& property) {
    const std::string name = property.rfind('/', 0) == 0 ? property.substr(1) : property;
    if (!zorvgst::is_plain_buffer_name(name)) {
        return std::nullopt;
    }
    return name;
}

} // namespace zorvplugin
