#pragma once
// Hand-checked arguments for methods bound as (*args, **kwargs), raising the same TypeErrors,
// word for word, that a typed Python-level signature gives.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <tuple>

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

// What an argument must be on entry, checked in parameter order before the method body runs.
namespace kind {
struct Any {
    static void check(nb::handle, const char*) {}
};
template <PyTypeObject* Type>
struct Exact {
    static void check(nb::handle value, const char* name) { expect_exact(value, Type, name); }
};
using Str = Exact<&PyUnicode_Type>;
using Int = Exact<&PyLong_Type>;
using Float = Exact<&PyFloat_Type>;
using Bool = Exact<&PyBool_Type>;
struct Dict {
    static void check(nb::handle value, const char* name) { expect_dict(value, name); }
};
template <class K>
struct OrNone {
    static void check(nb::handle value, const char* name) {
        if (!value.is_none()) K::check(value, name);
    }
};
// May be left out: the body then gets a null handle. Optional parameters come last.
template <class K>
struct Opt : K {
    static constexpr bool optional = true;
};
template <class K>
constexpr bool is_optional = requires { K::optional; };
}  // namespace kind

// A method callable as fn(*args, **kwargs) that binds its arguments the way a typed Python-level
// signature does, with that signature's TypeErrors, and hands the body one handle per parameter.
template <class Self, class... Kinds, class Body>
auto checked_method(const char* fn, std::array<const char*, sizeof...(Kinds)> names, Body body) {
    constexpr std::size_t required = (std::size_t{0} + ... + (kind::is_optional<Kinds> ? 0 : 1));
    constexpr std::array<bool, sizeof...(Kinds)> optional{kind::is_optional<Kinds>...};
    static_assert(std::is_sorted(optional.begin(), optional.end()), "optional parameters come last");
    return [fn, names, body](Self self, nb::args args, nb::kwargs kwargs) {
        auto given = parse_args<sizeof...(Kinds)>(fn, names, required, args, kwargs);
        [[maybe_unused]] std::size_t i = 0;
        ((given[i].is_valid() ? Kinds::check(given[i], names[i]) : void(), ++i), ...);
        return std::apply([&](auto... values) { return body(self, values...); }, given);
    };
}

}  // namespace vkb::py
