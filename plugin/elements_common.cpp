// The backend enumeration type shared by both elements.
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
