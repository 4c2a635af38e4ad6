// The backend enumeration type and the buffer names shared by both elements.
#include "elements_common.h"

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

std::optional<std::string> library_buffer_name(const std::string& property) {
    const std::string name = property.rfind('/', 0) == 0 ? property.substr(1) : property;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        return std::nullopt;
    }
    return name;
}

} // namespace zorvplugin
