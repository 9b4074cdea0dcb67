#include <nanobind/nanobind.h>

namespace nb = nanobind;

void bind_price_grid(nb::module_& m);
void bind_trading_calendar(nb::module_& m);
void bind_exchange_clock(nb::module_& m);
void bind_futures_days(nb::module_& m);
void bind_broker_fees(nb::module_& m);

void init_market_module(nb::module_& m) {
    m.doc() = "Exchange rules: contract table, price grid and daily band, trading calendar and holidays, exchange clock, broker fee rates";
    bind_price_grid(m);
    bind_trading_calendar(m);
    bind_exchange_clock(m);
    bind_futures_days(m);
    bind_broker_fees(m);
}
