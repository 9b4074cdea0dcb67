#pragma once
// Conversions at the market module's edge: dates, product kinds, the package's constants.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

#include "records/product_type.hpp"
#include "vkb/civil_time.hpp"

namespace vkb::py {

namespace nb = nanobind;

inline nb::object import_attr(const char* module, const char* name) {
    return nb::module_::import_(module).attr(name);
}

inline int exchange_utc_offset() {
    return nb::cast<int>(import_attr("vorn_kest_backtest.constant", "BASIC_INFO").attr("utc_offset_hours"));
}

[[noreturn]] inline void raise_value(PyObject* type, const char* message, nb::handle value) {
    PyErr_Format(type, "%s: %R", message, value.ptr());
    throw nb::python_error();
}

inline ProductType market_of(nb::handle market) {
    if (nb::isinstance<nb::str>(market))
        if (auto type = parse_product_type(nb::cast<std::string>(market))) return *type;
    raise_value(PyExc_ValueError, "不支援的商品類型", market);
}

// Days since 1970-01-01 of a datetime.date (a datetime counts by its date).
inline std::int64_t days_of(nb::handle day) {
    if (!nb::isinstance(day, import_attr("datetime", "date"))) raise_value(PyExc_TypeError, "日期必須是 datetime.date", day);
    return days_from_civil(nb::cast<int>(day.attr("year")), nb::cast<int>(day.attr("month")),
                           nb::cast<int>(day.attr("day")));
}

inline nb::object date_of(std::int64_t days) {
    int y = 0, m = 0, d = 0;
    civil_from_days(days, y, m, d);
    return import_attr("datetime", "date")(y, m, d);
}

}  // namespace vkb::py
