#include <doctest/doctest.h>

#include <optional>
#include <vector>

#include "vkb/broker_fees.hpp"
#include "vkb/position_book.hpp"

using namespace vkb;

namespace {

// No fee, tax or slippage: amounts are price x shares.
FeeRule free_rule() { return FeeRule{0.0, 0.0, 0.0, 0, true}; }

CoverPricing free_pricing(double exit_price) {
    CoverPricing p;
    p.exit_price = exit_price;
    p.exit_rule = free_rule();
    p.entry_rule = free_rule();
    return p;
}

void open_at(PositionBook& book, bool buy, std::int64_t qty, double price, const FeeRule& rule = free_rule()) {
    OpenEntry e;
    e.id = book.next_id();
    e.qty = qty;
    e.price = price;
    book.open("2330", buy, e, entry_side_cost("2330", price, qty, kSharesPerLot, rule), kSharesPerLot);
}

std::vector<std::int64_t> open_quantities(const PositionBook& book, bool buy) {
    std::vector<std::int64_t> out;
    for (const OpenEntry& e : book.codes().find("2330")->side(buy)) out.push_back(e.qty);
    return out;
}

void cover(PositionBook& book, const CoverPlan& plan) {
    book.apply_cover("2330", plan);
    book.settle_cover("2330", plan);
}

}  // namespace

TEST_CASE("a cover takes the oldest entries first and lowers only the last one it reaches") {
    PositionBook book;
    book.capital = 1'000'000;
    for (int i = 0; i < 3; ++i) open_at(book, true, i + 1, 10.0 + i);
    CHECK(book.capital == doctest::Approx(1'000'000 - (10'000 + 22'000 + 36'000)));
    const CoverPlan plan = book.plan_cover("2330", false, 4, free_pricing(20.0));
    CHECK(open_quantities(book, true) == std::vector<std::int64_t>{1, 2, 3});  // planning changes nothing
    REQUIRE(plan.pairs.size() == 3);
    CHECK(plan.pairs[2].qty == 1);
    CHECK(plan.pairs[2].left == 2);
    CHECK(plan.totals.is_covered());
    cover(book, plan);
    CHECK(open_quantities(book, true) == std::vector<std::int64_t>{2});
    REQUIRE(book.rows().size() == 3);
    CHECK(book.rows()[0].settlement.profit == doctest::Approx(10'000));
    CHECK(book.rows()[1].settlement.profit == doctest::Approx(2 * 9'000));
    CHECK(book.rows()[2].settlement.profit == doctest::Approx(8'000));
    CHECK(*book.reported_profit() == doctest::Approx(36'000));
    const AccountStats& s = *book.stats().find("2330");
    CHECK(s.entry_times == 3);
    CHECK(s.cover_times == 1);
    CHECK(s.profit_times == 1);
    CHECK_FALSE(s.loss_total.has_value());  // never added to: still the integer 0
}

TEST_CASE("a cover beyond the opposite side leaves the remainder uncovered") {
    PositionBook book;
    open_at(book, true, 2, 100.0);
    const CoverPlan plan = book.plan_cover("2330", false, 5, free_pricing(110.0));
    CHECK_FALSE(plan.totals.is_covered());
    CHECK(plan.totals.uncovered_qty == 3);
    cover(book, plan);
    CHECK(open_quantities(book, true).empty());
    CHECK(plan.totals.origin_profit(false) == doctest::Approx(2 * 1000 * 10.0));
}

TEST_CASE("covering a short pays back its principal and the price difference") {
    PositionBook book;
    book.capital = 1'000'000;
    open_at(book, false, 1, 100.0);
    CHECK(book.capital == doctest::Approx(900'000));
    const CoverPlan plan = book.plan_cover("2330", true, 1, free_pricing(90.0));
    cover(book, plan);
    CHECK(book.capital == doctest::Approx(1'010'000));
    CHECK(book.rows()[0].settlement.profit == doctest::Approx(10'000));
    CHECK(open_quantities(book, false).empty());
}

TEST_CASE("a profit of exactly zero counts as a loss") {
    PositionBook book;
    open_at(book, false, 1, 100.0);
    cover(book, book.plan_cover("2330", true, 1, free_pricing(100.0)));
    const AccountStats& s = *book.stats().find("2330");
    CHECK(s.loss_times == 1);
    CHECK(s.profit_times == 0);
    CHECK(*s.loss_total == 0.0);
}

TEST_CASE("a covered entry is settled at what it charged, not at later settings") {
    PositionBook book;
    const FeeRule charged{0.001425, 0.003, 0.0, 3, true};
    open_at(book, true, 2, 100.0, charged);  // booked at 101.5, fee 289.275
    CoverPricing pricing = free_pricing(110.0);
    const CoverPlan plan = book.plan_cover("2330", false, 1, pricing);
    CHECK(plan.pairs[0].entry.price == 101.5);
    CHECK(plan.pairs[0].entry.fee == doctest::Approx(289.275 / 2));
    CHECK(plan.pairs[0].entry.origin_price == 100.0);
}

TEST_CASE("an entry put in by hand is priced under the rule of the day, within its own limit") {
    PositionBook book;
    OpenEntry e;
    e.id = book.next_id();
    e.qty = 1;
    e.price = 100.0;
    e.limit = 100.5;
    SideBook sides;
    sides.buy.push_back(e);
    book.replace("2330", sides);
    CoverPricing pricing = free_pricing(110.0);
    pricing.entry_rule = FeeRule{0.0, 0.0, 0.0, 3, true};
    const CoverPlan plan = book.plan_cover("2330", false, 1, pricing);
    CHECK(plan.pairs[0].entry.price == 100.5);
}

TEST_CASE("under broker fees a covering fill pays the minimum fee once, split over its pairs and remainder") {
    PositionBook book;
    open_at(book, true, 1, 10.0);
    open_at(book, true, 1, 10.0);
    CoverPricing pricing = free_pricing(10.0);
    pricing.exit_rule.broker = BrokerFees{};
    pricing.exit_rule.sell = true;
    const CoverPlan plan = book.plan_cover("2330", false, 4, pricing);
    // 0.1425% x 40000 x 0.6 = 34.2 -> 34 on the whole fill of 4 lots.
    REQUIRE(plan.pairs.size() == 2);
    REQUIRE(plan.remainder.has_value());
    CHECK(plan.pairs[0].exit.fee == doctest::Approx(34.0 / 4));
    CHECK(plan.pairs[1].exit.fee == doctest::Approx(34.0 / 4));  // a third of the 25.5 left after the first
    CHECK(plan.pairs[0].exit.fee + plan.pairs[1].exit.fee + plan.remainder->fee == doctest::Approx(34.0));
    CHECK(plan.remainder->qty == 2);
    CHECK(plan.totals.uncovered_qty == 2);
}

TEST_CASE("codes keep the order they were first booked in and a dropped code leaves the rest") {
    PositionBook book;
    book.sides("2330");
    book.sides("0050");
    book.sides("2317");
    CHECK(book.remove("0050"));
    CHECK_FALSE(book.remove("0050"));
    REQUIRE(book.codes().items().size() == 2);
    CHECK(book.codes().items()[1].first == "2317");
    CHECK(book.codes().find("2317") == &book.codes().items()[1].second);
}

TEST_CASE("a holding sums both sides and marks each the way it profits, only when there is a close") {
    SideBook sides;
    sides.buy.push_back(OpenEntry{1, 1, 100.0, {}, {}, {}});
    sides.buy.push_back(OpenEntry{2, 2, 106.0, {}, {}, {}});
    sides.sell.push_back(OpenEntry{3, 1, 110.0, {}, {}, {}});
    const HoldingSummary marked = summarize_holding(sides, 108.0, kSharesPerLot);
    CHECK(marked.quantity == 4);
    CHECK(marked.average_price() == doctest::Approx(105.5));
    CHECK(marked.pnl == doctest::Approx((8.0 + 2 * 2.0 + 2.0) * 1000));
    const HoldingSummary unmarked = summarize_holding(sides, std::nullopt, kSharesPerLot);
    CHECK(unmarked.quantity == 4);
    CHECK(unmarked.pnl == 0.0);
}

TEST_CASE("a viewed entry is valued at what it booked, whatever the settings say by then") {
    PositionBook book;
    const FeeRule booked_rule{0.001425, 0.003, 10.0, 0, true};
    open_at(book, true, 2, 100.0, booked_rule);
    const OpenEntry& entry = book.codes().find("2330")->buy.front();
    const FeeRule today{0.01, 0.003, 99.0, 3, true};
    const PositionMark mark{104.0, std::nullopt, 8};
    const OpenValuation v = value_entry("2330", entry, true, mark, today, free_rule(), kSharesPerLot);
    CHECK(v.principal == 200'000.0);
    CHECK(v.entry_charges == doctest::Approx(0.001425 * 200'000 + 10.0));
    CHECK(v.pnl == doctest::Approx(8'000 - v.entry_charges));
}

TEST_CASE("an entry put in by hand is priced under the day's settings within its own limit") {
    const FeeRule slipped_up{0.0, 0.0, 0.0, 3, true};
    OpenEntry entry{1, 1, 100.0, 100.5, {}, {}};
    const OpenValuation v = value_entry("2330", entry, true, PositionMark{}, slipped_up, free_rule(), kSharesPerLot);
    CHECK(v.principal == 100'500.0);
    CHECK(v.pnl == 0.0);
}

TEST_CASE("under broker fees an entry of the mark's trading day is valued as a day trade") {
    FeeRule buy{0.0, 0.0, 0.0, 0, true};
    buy.broker = BrokerFees{};
    FeeRule sell = buy;
    sell.sell = true;
    const double morning = 1704153000.0;  // 2024-01-02 07:50 exchange time
    OpenEntry entry{1, 1, 100.0, {}, morning, {}};
    const auto pnl_marked_at = [&](double time) {
        return value_entry("2330", entry, true, PositionMark{104.0, time, 8}, buy, sell, kSharesPerLot).pnl;
    };
    const double same_day = pnl_marked_at(morning + 3600.0);
    const double next_day = pnl_marked_at(morning + 86400.0);
    CHECK(same_day - next_day == doctest::Approx(104'000 * (kShareSellTaxRate - kDayTradeSellTaxRate)).epsilon(0.01));
}
