#include "positions_support.hpp"

#include "common/py_args.hpp"
#include "common/py_modules.hpp"

namespace vkb::py {

const Keys& keys() {
    // Never freed: interned strings outlive every Positions instance.
    static std::atomic<const Keys*> slot{nullptr};
    return published_once(slot, [] {
        return Keys{
#define VKB_KEY(name) nb::handle(PyUnicode_InternFromString(#name)),
#include "positions_keys.def"
#undef VKB_KEY
        };
    });
}

nb::object get_attr(nb::handle obj, nb::handle name) { return nb::getattr(obj, name); }

void set_attr(nb::handle obj, nb::handle name, nb::handle value) { nb::setattr(obj, name, value); }

nb::object get_item(nb::handle obj, nb::handle key) { return obj[key]; }

void set_item(nb::handle obj, nb::handle key, nb::handle value) { obj[key] = value; }

bool has_item(nb::handle obj, nb::handle key) {
    if (nb::isinstance<nb::dict>(obj)) return nb::borrow<nb::dict>(obj).contains(key);
    return nb::cast<bool>(obj.attr("__contains__")(key));
}

bool equals(nb::handle a, nb::handle b) { return a.equal(b); }

std::string float_text(double value) {
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) throw nb::python_error();
    std::string out(text);
    PyMem_Free(text);
    return out;
}

std::string str_text(nb::handle value) {
    nb::str s = nb::str(value);
    return std::string(utf8(s));
}

[[noreturn]] void raise_unsupported_type(nb::handle value) {
    throw nb::value_error(("不支援的商品類型: " + str_text(value)).c_str());
}

[[noreturn]] void raise_exception(const std::string& text) {
    PyErr_SetString(PyExc_Exception, text.c_str());
    throw nb::python_error();
}

ProductType require_product_type(nb::handle value) {
    if (PyUnicode_Check(value.ptr()))
        if (auto type = parse_product_type(utf8(value))) return *type;
    raise_unsupported_type(value);
}

nb::dict new_account_info() {
    const Keys& k = keys();
    nb::dict info;
    nb::int_ zero(0);
    for (nb::handle key : {k.entry_times, k.cover_times, k.entry_amount, k.exit_amount, k.net_profit, k.extra_fee,
                           k.profit_times, k.loss_times, k.profit_total, k.loss_total, k.profit})
        info[key] = zero;
    return info;
}

}  // namespace vkb::py
