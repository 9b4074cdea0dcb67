#pragma once
// Reads and checks the keys of a tick record straight from the dict with interned key objects:
// add_tick is called once per replayed tick and must not build Python objects of its own. A bad
// value raises before anything of the tick is stored.
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "vkb/quote_desk.hpp"

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

    double timestamp(PyObject* d) const {
        PyObject* value = item(d, timestamp_);
        const double x = as_double(value, "timestamp");
        if (!std::isfinite(x)) fail(PyExc_ValueError, "tick 的 'timestamp' 必須是有限數值:", value);
        if (!vkb::valid_tick_timestamp(x))
            fail(PyExc_ValueError, "tick 的 'timestamp' 超出範圍 (1970-01-01 至 2100-01-01 之前):", value);
        return x;
    }
    std::string_view market_type(PyObject* d) const { return as_text(item(d, market_type_), "market_type"); }
    std::string_view code(PyObject* d) const { return as_text(item(d, code_), "code"); }
    double close(PyObject* d) const {
        PyObject* value = item(d, close_);
        const double x = as_double(value, "close");
        if (!vkb::valid_tick_close(x)) fail(PyExc_ValueError, "tick 的 'close' 必須是不小於 0 的有限數值:", value);
        return x;
    }
    std::int64_t qty(PyObject* d) const {
        PyObject* value = item(d, qty_);
        const std::int64_t x = as_int(value, "qty");
        if (!vkb::valid_tick_qty(x)) fail(PyExc_ValueError, "tick 的 'qty' 不能小於 0:", value);
        return x;
    }
    std::int8_t tick_type(PyObject* d) const {
        PyObject* value = item(d, tick_type_);
        const std::int64_t x = as_int(value, "tick_type");
        if (!vkb::valid_tick_type(x)) fail(PyExc_ValueError, "tick 的 'tick_type' 必須在 -128 至 127 之間:", value);
        return static_cast<std::int8_t>(x);
    }
    bool is_simulate(PyObject* d) const {
        PyObject* value = item(d, is_simulate_);
        if (value == Py_True) return true;
        if (value == Py_False) return false;
        // numpy.bool_ from a frame row.
        if (std::strcmp(Py_TYPE(value)->tp_name, "numpy.bool") == 0 ||
            std::strcmp(Py_TYPE(value)->tp_name, "numpy.bool_") == 0) {
            const int truth = PyObject_IsTrue(value);
            if (truth < 0) throw nanobind::python_error();
            return truth != 0;
        }
        fail(PyExc_TypeError, "tick 的 'is_simulate' 必須是布林值:", value);
    }

private:
    static nanobind::object intern(const char* text) { return nanobind::steal(PyUnicode_InternFromString(text)); }

    static PyObject* check(PyObject* value) {
        if (value == nullptr) throw nanobind::python_error();
        return value;
    }

    [[noreturn]] static void fail(PyObject* type, const char* message, PyObject* value) {
        PyErr_Format(type, "%s %R", message, value);
        throw nanobind::python_error();
    }

    static PyObject* item(PyObject* d, const nanobind::object& key) {
        PyObject* value = PyDict_GetItemWithError(d, key.ptr());
        if (value == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.ptr());
            throw nanobind::python_error();
        }
        return value;
    }

    [[noreturn]] static void refuse(PyObject* type, PyObject* value, const char* key, const char* what) {
        const std::string message = std::string("tick 的 '") + key + "' " + what + ":";
        fail(type, message.c_str(), value);
    }

    [[noreturn]] static void refuse_type(PyObject* value, const char* key, const char* kind) {
        refuse(PyExc_TypeError, value, key, (std::string("必須是") + kind).c_str());
    }

    static double as_double(PyObject* value, const char* key) {
        if (PyBool_Check(value) || PyUnicode_Check(value) || PyBytes_Check(value)) refuse_type(value, key, "數值");
        const double x = PyFloat_AsDouble(value);
        if (x == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            refuse_type(value, key, "數值");
        }
        return x;
    }

    // An int (numpy integers included) or a float holding a whole number that an int64 holds.
    static std::int64_t as_int(PyObject* value, const char* key) {
        if (PyBool_Check(value)) refuse_type(value, key, "整數");
        if (PyFloat_Check(value)) {
            const double x = PyFloat_AS_DOUBLE(value);
            if (!(std::isfinite(x) && x == std::floor(x) && std::fabs(x) < 9.2e18))
                refuse(PyExc_ValueError, value, key, "必須是整數");
            return static_cast<std::int64_t>(x);
        }
        if (!PyIndex_Check(value)) refuse_type(value, key, "整數");
        const nanobind::object index = nanobind::steal(check(PyNumber_Index(value)));
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (overflow != 0) refuse(PyExc_ValueError, value, key, "超出 64 位元整數範圍");
        if (x == -1 && PyErr_Occurred()) throw nanobind::python_error();
        return x;
    }

    static std::string_view as_text(PyObject* value, const char* key) {
        if (!PyUnicode_Check(value)) refuse_type(value, key, "字串");
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
