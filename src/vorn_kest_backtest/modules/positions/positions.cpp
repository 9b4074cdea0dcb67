#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace vkb::py {
void bind_ledger(nb::module_& m);
}  // namespace vkb::py
void bind_positions(nb::module_& m);
void bind_quote_manager(nb::module_& m);
void bind_replay_driver(nb::module_& m);
void bind_order_matcher(nb::module_& m);

void init_positions_module(nb::module_& m) {
    m.doc() = "Account, positions, quotes and reports";
    vkb::py::bind_ledger(m);
    bind_positions(m);
    bind_quote_manager(m);
    bind_order_matcher(m);
    bind_replay_driver(m);
}
