// SPDX-License-Identifier: LGPL-2.1-or-later
// The parts the module is assembled from, one a file.
#pragma once

#include <pybind11/pybind11.h>

namespace zorvpy {

void add_reader(pybind11::module_& module);
void add_writer(pybind11::module_& module);
void add_inventory(pybind11::module_& module);
void add_plane_arrays(pybind11::module_& module);
void add_taken_frame(pybind11::module_& module);
void add_frame_arrays(pybind11::module_& module);

} // namespace zorvpy
