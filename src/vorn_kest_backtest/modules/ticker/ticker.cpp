#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(ticker, m) { m.doc() = "Tick replay"; }
