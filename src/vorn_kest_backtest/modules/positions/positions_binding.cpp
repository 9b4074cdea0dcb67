#include <nanobind/nanobind.h>

namespace nb = nanobind;

void bind_positions(nb::module_&) {}
