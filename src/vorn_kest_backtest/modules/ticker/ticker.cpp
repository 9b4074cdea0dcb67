#include <nanobind/nanobind.h>

#include "common/py_queue.hpp"
#include "tick_errors.hpp"
#include "ticker_registry.hpp"

namespace nb = nanobind;

void bind_ticker(nb::module_& m);
void bind_tick_rules(nb::module_& m);

void init_ticker_module(nb::module_& m) {
    m.doc() = "Tick replay";
    // The one binding of the queue class; vorn_kest_backtest.modules.positions.positions shows it too.
    vkb::py::bind_queue(m, "Queue");
    bind_ticker(m);
    vkb::py::bind_tick_errors(m);
    bind_tick_rules(m);
    // Replays end and the threads are joined while the interpreter is still whole.
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([] { vkb::py::shut_down_all_tickers(); }));
}
