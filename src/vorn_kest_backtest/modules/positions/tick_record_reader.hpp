#pragma once
// Reads the keys of a tick record straight from the dict with interned key objects: add_tick is
// called once per replayed tick and must not build Python objects of its own.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <string_view>

namespace vkb::py {

class TickRecordReader {
public:
    TickRecordReader()
        : timestamp_(intern("timestamp")), market_type_(intern("market_type")), code_(intern("code")),
          close_(intern("close")), qty_(intern("qty")), tick_type_(intern("tick_type")),
          is_simulate_(intern("is_simulate")) {}

    // The record as an exact dict (other mappings are copied once into one).
    static nanobind::object as_dict(nanobind::handle tick) {
        if (PyDict_CheckExact(tick.ptr())) return nanobind::borrow(tick);
        return nanobind::steal(check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), tick.ptr())));
    }

    double timestamp(PyObject* d) const { return as_double(item(d, timestamp_)); }
    std::string_view market_type(PyObject* d) const { return as_text(item(d, market_type_)); }
    std::string_view code(PyObject* d) const { return as_text(item(d, code_)); }
    double close(PyObject* d) const { return as_double(item(d, close_)); }
    std::int64_t qty(PyObject* d) const { return as_int(item(d, qty_)); }
    std::int64_t tick_type(PyObject* d) const { return as_int(item(d, tick_type_)); }
    bool is_simulate(PyObject* d) const {
        const int truth = PyObject_IsTrue(item(d, is_simulate_));
        if (truth < 0) throw nanobind::python_error();
        return truth != 0;
    }

private:
    static nanobind::object intern(const char* text) { return nanobind::steal(PyUnicode_InternFromString(text)); }

    static PyObject* check(PyObject* value) {
        if (value == nullptr) throw nanobind::python_error();
        return value;
    }

    static PyObject* item(PyObject* d, const nanobind::object& key) {
        PyObject* value = PyDict_GetItemWithError(d, key.ptr());
        if (value == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.ptr());
            throw nanobind::python_error();
        }
        return value;
    }

    static double as_double(PyObject* value) {
        const double x = PyFloat_AsDouble(value);
        if (x == -1.0 && PyErr_Occurred()) throw nanobind::python_error();
        return x;
    }

    static std::int64_t as_int(PyObject* value) {
        if (PyFloat_Check(value)) return static_cast<std::int64_t>(PyFloat_AS_DOUBLE(value));
        const long long x = PyLong_AsLongLong(value);
        if (x == -1 && PyErr_Occurred()) throw nanobind::python_error();
        return x;
    }

    static std::string_view as_text(PyObject* value) {
        if (!PyUnicode_Check(value)) {
            PyErr_Format(PyExc_TypeError, "expected a string, got %R", value);
            throw nanobind::python_error();
        }
        Py_ssize_t size = 0;
        const char* data = check_text(PyUnicode_AsUTF8AndSize(value, &size));
        return {data, static_cast<std::size_t>(size)};
    }

    static const char* check_text(const char* data) {
        if (data == nullptr) throw nanobind::python_error();
        return data;
    }

    nanobind::object timestamp_, market_type_, code_, close_, qty_, tick_type_, is_simulate_;
};

}  // namespace vkb::py
