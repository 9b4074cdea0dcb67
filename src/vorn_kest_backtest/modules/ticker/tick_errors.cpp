#include "tick_errors.hpp"

namespace vkb::py {

void bind_tick_errors(nb::module_& m) {
    // Kept for the life of the process: the module's type must outlive every Ticker.
    new nb::exception<NotLoggedIn>(m, "NotLoggedInError", PyExc_ValueError);
}

}  // namespace vkb::py
