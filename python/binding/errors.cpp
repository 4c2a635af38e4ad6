// SPDX-License-Identifier: LGPL-2.1-or-later
// The exception classes of the package, one per error code, and the translation into them.
#include "errors.h"
#include <cerrno>
#include <exception>
#include <string>
#include <vector>

#include <zorvgst/error.h>

namespace py = pybind11;

namespace zorvpy {

namespace {

struct error_class {
    zorvgst::error_code code;
    const char* name;
    /// The built-in a caller may catch it as instead; null for none.
    PyObject* builtin;
    /// The errno value the OSError ones carry when the library names none.
    int default_errno;
    const char* doc;
};

/// One entry per error_code, in the enum's order.
const std::vector<error_class>& error_classes() {
    using zorvgst::error_code;
    static const std::vector<error_class> described = {
        {error_code::unspecified, nullptr, nullptr, 0, nullptr},
        {error_code::invalid_name, "InvalidNameError", PyExc_ValueError, 0,
         "A buffer name that is not one entry of /dev/shm."},
        {error_code::invalid_format, "InvalidFormatError", PyExc_ValueError, 0,
         "An unknown format, a frame size out of range, or a format the buffer cannot carry."},
        {error_code::invalid_argument, "InvalidArgumentError", PyExc_ValueError, 0,
         "Another argument out of range: ring options beyond the ring's limits, say."},
        {error_code::owner_alive, "OwnerAliveError", PyExc_FileExistsError, EEXIST,
         "The buffer is owned by another live process."},
        {error_code::no_space, "NoSpaceError", PyExc_OSError, ENOSPC,
         "Too little shared memory for the buffer (errno ENOSPC)."},
        {error_code::destination_too_small, "DestinationTooSmallError", PyExc_ValueError, 0,
         "The destination cannot hold the frame."},
        {error_code::system_error, "SystemCallError", PyExc_OSError, EIO,
         "The system refused; errno says why."},
    };
    return described;
}

/// The class of each code, made once; kept for the life of the process, like the module.
std::vector<PyObject*> classes;

PyObject* make_class(py::module_& module, const char* name, PyObject* bases, const char* doc) {
    const std::string qualified = "zorvgst._zorvgst." + std::string(name);
    PyObject* made = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, nullptr);
    if (made == nullptr) {
        throw py::error_already_set();
    }
    module.add_object(name, py::reinterpret_borrow<py::object>(made));
    return made;
}

void raise(const zorvgst::error& refused) {
    const std::vector<error_class>& described = error_classes();
    const auto index = static_cast<std::size_t>(refused.code());
    const error_class& entry = index < described.size() ? described[index] : described[0];
    PyObject* type = classes[&entry - described.data()];
    if (entry.builtin == nullptr ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                          reinterpret_cast<PyTypeObject*>(PyExc_OSError))) {
        PyErr_SetString(type, refused.what());
        return;
    }
    // (errno, text): OSError then sets errno and strerror, and prints "[Errno n] text".
    const int number = refused.system_error() != 0 ? refused.system_error() : entry.default_errno;
    PyObject* arguments = Py_BuildValue("(is)", number, refused.what());
    if (arguments != nullptr) {
        PyErr_SetObject(type, arguments);
        Py_DECREF(arguments);
    }
}

} // namespace

void add_errors(py::module_& module) {
    PyObject* base = make_class(module, "Error", nullptr,
                                "What the library refuses; the subclass says which refusal.");
    for (const error_class& entry : error_classes()) {
        if (entry.name == nullptr) {
            classes.push_back(base);
            continue;
        }
        PyObject* bases = PyTuple_Pack(2, base, entry.builtin);
        classes.push_back(make_class(module, entry.name, bases, entry.doc));
        Py_DECREF(bases);
    }
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) {
                std::rethrow_exception(thrown);
            }
        } catch (const zorvgst::error& refused) {
            raise(refused);
        }
    });
}

} // namespace zorvpy
