// SPDX-License-Identifier: LGPL-2.1-or-later
// "buffer-name" and "backend", which both elements have, and the plumbing all their properties use.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
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
/// Sets or gets "buffer-name" or "backend"; false for any other property.
bool set_buffer_property(buffer_choice_t& choice, guint id, const GValue* value);
bool get_buffer_property(const buffer_choice_t& choice, guint id, GValue* value);

/// One of an element's own properties: a bool, guint64, guint or enum field of its state, which
/// one piece of code moves to and from a GValue. An enum's value is kept as the enum's integer.
template <typename State> struct own_property_t {
    constexpr own_property_t(guint property_id, bool State::*field)
        : id(property_id), flag(field) {}
    constexpr own_property_t(guint property_id, guint64 State::*field)
        : id(property_id), number(field) {}
    constexpr own_property_t(guint property_id, guint State::*field)
        : id(property_id), count(field) {}
    constexpr own_property_t(guint property_id, gint State::*field)
        : id(property_id), choice(field) {}

    void get(const State& state, GValue* value) const {
        if (flag != nullptr) {
            g_value_set_boolean(value, state.*flag ? TRUE : FALSE);
        } else if (number != nullptr) {
            g_value_set_uint64(value, state.*number);
        } else if (count != nullptr) {
            g_value_set_uint(value, state.*count);
        } else {
            g_value_set_enum(value, state.*choice);
        }
    }
    void set(State& state, const GValue* value) const {
        if (flag != nullptr) {
            state.*flag = g_value_get_boolean(value) != FALSE;
        } else if (number != nullptr) {
            state.*number = g_value_get_uint64(value);
        } else if (count != nullptr) {
            state.*count = g_value_get_uint(value);
        } else {
            state.*choice = g_value_get_enum(value);
        }
    }

    guint id;
    bool State::*flag = nullptr;
    guint64 State::*number = nullptr;
    guint State::*count = nullptr;
    gint State::*choice = nullptr;
};

/// The entry of `own` for property `id`; null when the element has no such property.
template <typename State, std::size_t count>
const own_property_t<State>* find_own_property(const own_property_t<State> (&own)[count],
                                               guint id) {
    const auto* found = std::find_if(std::begin(own), std::end(own),
                                     [id](const own_property_t<State>& p) { return p.id == id; });
    return found != std::end(own) ? found : nullptr;
}

/// Sets or gets property `id` when `own` lists it; false when it does not.
template <typename State, std::size_t count>
bool set_own_property(State& state, const own_property_t<State> (&own)[count], guint id,
                      const GValue* value) {
    const own_property_t<State>* property = find_own_property(own, id);
    if (property != nullptr) {
        property->set(state, value);
    }
    return property != nullptr;
}
template <typename State, std::size_t count>
bool get_own_property(const State& state, const own_property_t<State> (&own)[count], guint id,
                      GValue* value) {
    const own_property_t<State>* property = find_own_property(own, id);
    if (property != nullptr) {
        property->get(state, value);
    }
    return property != nullptr;
}

/// Runs `access` on the state of an element whose instance struct holds `state`, under the
/// object lock: property values are written and read only so, and the streaming thread never
/// sees half a string. Warns when `access` knew no property `id`.
template <typename Element, typename Access>
void access_element_property(GObject* object, guint id, GParamSpec* param, Access access) {
    GST_OBJECT_LOCK(object);
    const bool known = access(*reinterpret_cast<Element*>(object)->state);
    GST_OBJECT_UNLOCK(object);
    if (!known) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
    }
}

/// The set_property and get_property of such an element, whose state is a buffer_choice_t
/// with the fields `own` lists: "buffer-name" and "backend", then those.
template <typename Element, const auto& own>
void set_element_property(GObject* object, guint id, const GValue* value, GParamSpec* param) {
    access_element_property<Element>(object, id, param, [&](auto& state) {
        return set_buffer_property(state, id, value) || set_own_property(state, own, id, value);
    });
}
template <typename Element, const auto& own>
void get_element_property(GObject* object, guint id, GValue* value, GParamSpec* param) {
    access_element_property<Element>(object, id, param, [&](const auto& state) {
        return get_buffer_property(state, id, value) || get_own_property(state, own, id, value);
    });
}

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
