#include <nanobind/nanobind.h>

namespace nb = nanobind;

void bind_quote_manager(nb::module_&) {}
