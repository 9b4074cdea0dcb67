#pragma once
// The console of the package's utils module, looked up at the moment of use so a caller can swap
// it (tests record the raw markup text).
#include <nanobind/nanobind.h>

#include <string>

#include "common/py_modules.hpp"

namespace vkb::py {

inline nanobind::object utils_module() { return loaded_module("vorn_kest_backtest.utils"); }

// A console that prints nothing (a rich Console with quiet=True, or any console whose `quiet`
// attribute is true): callers then skip building their lines.
inline bool console_quiet() {
    nanobind::object console = utils_module().attr("console");
    PyObject* quiet = PyObject_GetAttrString(console.ptr(), "quiet");
    if (quiet == nullptr) {
        PyErr_Clear();
        return false;
    }
    const int truth = PyObject_IsTrue(quiet);
    Py_DECREF(quiet);
    if (truth < 0) throw nanobind::python_error();
    return truth != 0;
}

inline void console_print(const std::string& text) {
    utils_module().attr("console").attr("print")(nanobind::str(text.c_str(), text.size()));
}

// BASIC_INFO is read at every call: a caller may point the data directory elsewhere at run time.
inline nanobind::object basic_info() {
    return loaded_module("vorn_kest_backtest.constant").attr("BASIC_INFO");
}

}  // namespace vkb::py
