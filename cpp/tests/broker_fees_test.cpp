#include <doctest/doctest.h>

#include "vkb/accounting.hpp"
#include "vkb/broker_fees.hpp"

using namespace vkb;

namespace {

FeeRule broker_rule(bool futures, bool sell) {
    FeeRule rule;
    rule.broker = BrokerFees{};
    rule.futures = futures;
    rule.sell = sell;
    return rule;
}

}  // namespace

TEST_CASE("the stock fee is discounted, rounded down and never below the minimum") {
    const BrokerFees fees;
    CHECK(broker_stock_fee(200000.0, fees) == 171.0);  // 285 x 0.6
    CHECK(broker_stock_fee(500000.0, fees) == 427.0);  // 427.5
    CHECK(broker_stock_fee(10000.0, fees) == 20.0);    // 8.55 lifts to the minimum
    CHECK(broker_stock_fee(200000.0, BrokerFees{1.0, 20.0, 50.0}) == 285.0);  // exact product kept whole
}

TEST_CASE("sell tax: shares, ETFs and cash day trades") {
    CHECK(broker_stock_sell_tax("2330", 510000.0, false) == 1530.0);
    CHECK(broker_stock_sell_tax("2330", 510000.0, true) == 765.0);
    CHECK(broker_stock_sell_tax("0050", 150000.0, true) == 150.0);
    CHECK(broker_stock_sell_tax("2330", 1234.0, false) == 3.0);  // 3.702 rounded down
}

TEST_CASE("a pair's tax: the sell leg of stocks, both legs of futures") {
    CHECK(broker_pair_tax("2330", false, 500000.0, 510000.0, 1, false, false) == 1530.0);
    CHECK(broker_pair_tax("2330", false, 510000.0, 500000.0, 1, true, true) == 765.0);
    CHECK(broker_pair_tax("TXFR1", true, 6800000.0, 6840000.0, 2, false, false) == 272.0);
}

TEST_CASE("the futures tax is rounded per contract to the nearest NT$, halves up, then times the contracts") {
    // The exchange's example: MTX at 8,500 x 50 x 0.002% = 8.5, charged 9 per contract.
    CHECK(broker_futures_tax(8500.0 * 50, 1) == 9.0);
    CHECK(broker_futures_tax(8500.0 * 50 * 4, 4) == 36.0);  // 34 on the whole order
    // MXF 3 contracts: 17,500 x 50 = 875,000 -> 17.5 -> 18; 17,260 x 50 = 863,000 -> 17.26 -> 17.
    CHECK(broker_futures_tax(17500.0 * 50 * 3, 3) == 54.0);
    CHECK(broker_futures_tax(17260.0 * 50 * 3, 3) == 51.0);
    CHECK(broker_pair_tax("MXFR1", true, 17500.0 * 50 * 3, 17260.0 * 50 * 3, 3, false, false) == 105.0);
    // Just under and just over a half, and a fractional point (TE: 0.05 point, 4,000 per point).
    CHECK(broker_futures_tax(8499.0 * 50, 1) == 8.0);      // 8.499
    CHECK(broker_futures_tax(8501.0 * 50, 1) == 9.0);      // 8.501
    CHECK(broker_futures_tax(312.05 * 4000 * 2, 2) == 50.0);  // 24.964 -> 25 each
    CHECK(broker_futures_tax(0.0, 0) == 0.0);
}

TEST_CASE("a fill under broker fees charges its own leg only") {
    const TradeCost buy = compute_trade_cost("2330", 100.0, 2, kSharesPerLot, broker_rule(false, false), false);
    CHECK(buy.fee == 171.0);
    CHECK(buy.tax == 0.0);
    const TradeCost sell = compute_trade_cost("2330", 100.0, 2, kSharesPerLot, broker_rule(false, true), false);
    CHECK(sell.tax == 600.0);
    const TradeCost future = compute_trade_cost("TXFR1", 17000.0, 2, 200, broker_rule(true, false), false);
    CHECK(future.fee == 100.0);
    CHECK(future.tax == 136.0);
    const TradeCost mini = compute_trade_cost("MXFR1", 8500.0, 3, 50, broker_rule(true, true), false);
    CHECK(mini.tax == 27.0);  // 9 per contract, not floor(25.5)
}

TEST_CASE("the cover carries the pair's tax, so a round trip's profit is the capital it moved") {
    const FeeRule buy = broker_rule(false, false), sell = broker_rule(false, true);
    const TradeCost entry = entry_side_cost("2330", 510.0, 1, kSharesPerLot, sell);
    const TradeCost exit = with_pair_tax(exit_side_cost("2330", 500.0, 1, kSharesPerLot, buy), entry, "2330", buy,
                                         true, true);
    CHECK(exit.tax == 765.0);
    const PairSettlement pair = settle_pair(entry, exit, true);
    CHECK(pair.profit == 10000.0 - (436.0 + 427.0 + 765.0));
    CoverTotals totals;
    totals.add(pair);
    CHECK(capital_after_cover(capital_after_entry(1e6, entry), totals, true) - 1e6 == pair.profit);
}

TEST_CASE("trading days follow the exchange clock") {
    CHECK(exchange_day(1704153000.0 - 3 * 3600.0, 8) == exchange_day(1704153000.0 + 3600.0, 8));
    CHECK(exchange_day(1704153000.0 - 3 * 3600.0, 0) != exchange_day(1704153000.0 + 3600.0, 0));
}
