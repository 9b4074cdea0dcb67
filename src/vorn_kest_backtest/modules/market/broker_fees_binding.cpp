// The broker's published rates, for pages and help texts that state them.
#include <nanobind/nanobind.h>

#include "vkb/broker_fees.hpp"

namespace nb = nanobind;

void bind_broker_fees(nb::module_& m) {
    nb::dict rates;
    rates["stock_fee"] = vkb::kBrokerStockFeeRate;
    rates["share_sell_tax"] = vkb::kShareSellTaxRate;
    rates["etf_sell_tax"] = vkb::kEtfSellTaxRate;
    rates["day_trade_sell_tax"] = vkb::kDayTradeSellTaxRate;
    rates["futures_tax"] = vkb::kFuturesTaxRate;
    m.attr("BROKER_FEE_RATES") = rates;
}
