#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(positions, m) { m.doc() = "Account, positions, quotes and reports"; }
