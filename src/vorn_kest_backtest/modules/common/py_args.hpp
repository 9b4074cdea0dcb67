#pragma once
// Hand-checked arguments for methods bound as (*args, **kwargs), raising the same TypeErrors,
// word for word, that a typed Python-level signature gives.
#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vkb::py {

namespace nb = nanobind;

[[noreturn]] inline void raise_arg_count(const char* fn, std::size_t min, std::size_t max, std::size_t given) {
    const bool exact = min == max;
    const std::size_t expected = given < min ? min : max;
    const char* bound = exact ? "exactly" : (given < min ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fn, bound,
                 static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s", static_cast<Py_ssize_t>(given));
    throw nb::python_error();
}

// Binds positional then keyword arguments to names; the first `required` must be present.
// Unbound optional slots come back as null handles.
template <std::size_t N>
std::array<nb::handle, N> parse_args(const char* fn, const std::array<const char*, N>& names, std::size_t required,
                                     const nb::args& args, const nb::kwargs& kwargs) {
    std::array<nb::handle, N> out{};
    const std::size_t given = static_cast<std::size_t>(PyTuple_GET_SIZE(args.ptr()));
    if (given > N) raise_arg_count(fn, required, N, given);
    for (std::size_t i = 0; i < given; ++i) out[i] = PyTuple_GET_ITEM(args.ptr(), static_cast<Py_ssize_t>(i));
    for (auto [key, value] : kwargs) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
        if (!text) throw nb::python_error();
        const std::string_view name(text, static_cast<std::size_t>(size));
        std::size_t slot = N;
        for (std::size_t i = 0; i < N; ++i)
            if (name == names[i]) slot = i;
        if (slot == N) {
            PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", fn, key.ptr());
            throw nb::python_error();
        }
        if (out[slot].is_valid()) {
            PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%U'", fn, key.ptr());
            throw nb::python_error();
        }
        out[slot] = value;
    }
    for (std::size_t i = 0; i < required; ++i)
        if (!out[i].is_valid()) raise_arg_count(fn, required, N, i);
    return out;
}

inline void parse_no_args(const char* fn, const nb::args& args, const nb::kwargs& kwargs) {
    parse_args<0>(fn, {}, 0, args, kwargs);
}

[[noreturn]] inline void raise_arg_type(const char* name, const char* expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

// Exact built-in type: a bool is not an int, an int is not a float. None passes only where it is
// the default.
inline void expect_exact(nb::handle value, PyTypeObject* type, const char* name, bool none_ok = false) {
    if (Py_TYPE(value.ptr()) == type) return;
    if (none_ok && value.is_none()) return;
    raise_arg_type(name, type->tp_name, value);
}

// Mappings are accepted as dict or any subclass of it.
inline void expect_dict(nb::handle value, const char* name) {
    if (!PyDict_Check(value.ptr())) raise_arg_type(name, "dict", value);
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

inline bool to_bool(nb::handle value) {
    const int v = PyObject_IsTrue(value.ptr());
    if (v < 0) throw nb::python_error();
    return v != 0;
}

// UTF-8 view of a str (valid while the object lives).
inline std::string_view utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return {data, static_cast<std::size_t>(size)};
}

}  // namespace vkb::py
