#pragma once
// Whether the shared console prints at all: a quiet one gets no strings built for it.
#include <nanobind/nanobind.h>

#include "common/py_console.hpp"

namespace vkb::py {

// A rich Console made with quiet=True, or any console object with a true `quiet` attribute.
inline bool console_quiet() {
    nanobind::object console = utils_module().attr("console");
    return PyObject_IsTrue(nanobind::getattr(console, "quiet", nanobind::bool_(false)).ptr()) == 1;
}

}  // namespace vkb::py
