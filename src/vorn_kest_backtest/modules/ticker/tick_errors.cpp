#include "tick_errors.hpp"

namespace vkb::py {

namespace {
PyObject* not_logged_in_type = nullptr;
}  // namespace

void bind_tick_errors(nb::module_& m) {
    // Kept for the life of the process: the module's type must outlive every Ticker.
    auto* type = new nb::exception<NotLoggedIn>(m, "NotLoggedInError", PyExc_ValueError);
    not_logged_in_type = type->ptr();
}

bool is_not_logged_in(const nb::python_error& error) {
    return not_logged_in_type != nullptr && error.matches(not_logged_in_type);
}

}  // namespace vkb::py
