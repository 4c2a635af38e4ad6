// SPDX-License-Identifier: LGPL-2.1-or-later
// zorvgst.Error and its subclass per error code, raised for every zorvgst::error.
#pragma once

#include <pybind11/pybind11.h>

namespace zorvpy {

/// Makes Error and one subclass per zorvgst::error_code, and translates each zorvgst::error the
/// module lets through into the subclass of its code.
void add_errors(pybind11::module_& module);

} // namespace zorvpy
