#include <nanobind/nanobind.h>

namespace nb = nanobind;

void bind_positions(nb::module_& m);
void bind_quote_manager(nb::module_& m);

NB_MODULE(positions, m) {
    m.doc() = "Account, positions, quotes and reports";
    bind_positions(m);
    bind_quote_manager(m);
}
