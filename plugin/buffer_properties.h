// SPDX-License-Identifier: LGPL-2.1-or-later
// "buffer-name" and "backend", which both elements have.
#pragma once

#include <optional>
#include <string>

#include <gst/gst.h>

#include <zorvgst/backend.h>

G_BEGIN_DECLS

/// GType of the `backend` property: "posix" (default) or "sysv".
#define GST_TYPE_ZORV_DB_BACKEND (gst_zorv_db_backend_get_type())
GType gst_zorv_db_backend_get_type(void);

G_END_DECLS

namespace zorvplugin {

/// Values of the `backend` property as pipelines and saved settings know them: never renumbered.
enum class backend_kind_t : int { posix = 0, sysv = 1 };

zorvgst::backend library_backend(backend_kind_t kind);

/// Ids of the two properties every element has, "buffer-name" and "backend"; an element numbers
/// its own from `first_own_property`.
enum : guint { prop_buffer_name = 1, prop_backend = 2, first_own_property = 3 };

/// Which buffer an element uses and on which backend, as its properties say.
struct buffer_choice_t {
    std::string buffer_name;
    backend_kind_t backend = backend_kind_t::posix;
};

/// Installs "buffer-name" and "backend", described for the element at hand.
void install_buffer_properties(GObjectClass* klass, const char* name_blurb,
                               const char* backend_blurb);
/// Sets or gets "buffer-name" or "backend", with the element's object lock held; false for any
/// other property.
bool set_buffer_property(buffer_choice_t& choice, guint id, const GValue* value);
bool get_buffer_property(const buffer_choice_t& choice, guint id, GValue* value);

/// The name the library is given for a `buffer-name` value: a leading slash names the same
/// buffer and is dropped. Nothing when the value cannot name one entry of /dev/shm.
std::optional<std::string> library_buffer_name(const std::string& property);

} // namespace zorvplugin

/// Posts the error of an element asked to start with a `buffer-name` (a std::string) that
/// library_buffer_name() refuses. A macro, so the line carries the element's own debug category
/// and function.
#define ZORV_ELEMENT_ERROR_NO_BUFFER_NAME(element, name)                                           \
    GST_ELEMENT_ERROR(element, RESOURCE, NOT_FOUND,                                                \
                      ("No valid buffer name set (property \"buffer-name\")"),                     \
                      ("buffer-name is \"%s\"", (name).c_str()))
