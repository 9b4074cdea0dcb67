#pragma once
// Console and logger of the package's utils module, looked up at the moment of use so a
// caller can swap them (tests record the raw markup text).
#include <nanobind/nanobind.h>

#include <string>

namespace vkb::py {

// sys.modules first: the full import machinery costs more than the print it serves. The name is
// interned once and never released, so nothing is touched during interpreter shutdown.
inline nanobind::object loaded_module(const char* dotted) {
    PyObject* name = PyUnicode_InternFromString(dotted);
    if (name == nullptr) throw nanobind::python_error();
    PyObject* module = PyImport_GetModule(name);
    Py_DECREF(name);
    if (module != nullptr) return nanobind::steal(module);
    if (PyErr_Occurred()) throw nanobind::python_error();
    return nanobind::module_::import_(dotted);
}

inline nanobind::object utils_module() { return loaded_module("vorn_kest_backtest.utils"); }

inline void console_print(const std::string& text) {
    utils_module().attr("console").attr("print")(nanobind::str(text.c_str(), text.size()));
}

// A quiet console (rich's quiet=True, or any console with a true `quiet`) shows nothing, so
// lines meant only for it need not be made.
inline bool console_quiet() {
    nanobind::object console = utils_module().attr("console");
    return nanobind::hasattr(console, "quiet") && nanobind::bool_(console.attr("quiet"));
}

inline void logger_error(const std::string& text) {
    utils_module().attr("logger").attr("error")(nanobind::str(text.c_str(), text.size()));
}

// BASIC_INFO is read at every call: a caller may point the data directory elsewhere at run time.
inline nanobind::object basic_info() {
    return loaded_module("vorn_kest_backtest.constant").attr("BASIC_INFO");
}

}  // namespace vkb::py
