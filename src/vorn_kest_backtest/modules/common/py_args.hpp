#pragma once
// Reading Python values inside records and arguments the way a typed signature reads them, with the
// same TypeErrors, word for word.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <string_view>

namespace vkb::py {

namespace nb = nanobind;

[[noreturn]] inline void raise_arg_type(const char* name, const char* expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

// Exact built-in type: a bool is not an int, an int is not a float.
inline void expect_exact(nb::handle value, PyTypeObject* type, const char* name) {
    if (Py_TYPE(value.ptr()) != type) raise_arg_type(name, type->tp_name, value);
}

inline bool is_given(nb::handle value) { return value.is_valid() && !value.is_none(); }

inline std::int64_t to_int64(nb::handle value) {
    const long long v = PyLong_AsLongLong(value.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// A value read as a float the way a C double parameter reads it (ints accepted, text refused).
inline double to_double(nb::handle value) {
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// UTF-8 view of a str (valid while the object lives).
inline std::string_view utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<std::size_t>(size)};
}

}  // namespace vkb::py
