// The one extension module: tick replay, accounts and quotes, exchange rules as its submodules, so
// the replay driver and the Ticker share their C++ types. The public modules under
// vorn_kest_backtest.modules re-export the submodules.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

void init_ticker_module(nb::module_& m);
void init_positions_module(nb::module_& m);
void init_market_module(nb::module_& m);

NB_MODULE(_core, m) {
    m.doc() = "Compiled core of vorn_kest_backtest";
    nb::module_ ticker = m.def_submodule("ticker");
    init_ticker_module(ticker);
    nb::module_ positions = m.def_submodule("positions");
    init_positions_module(positions);
    nb::module_ market = m.def_submodule("market");
    init_market_module(market);
}
