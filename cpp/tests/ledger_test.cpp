#include <doctest/doctest.h>

#include <cmath>
#include <memory>
#include <stdexcept>

#include "vkb/civil_time.hpp"
#include "vkb/ledger.hpp"

using namespace vkb;

namespace {

constexpr int kOffset = 8;

// Epoch seconds of an exchange wall-clock time.
double at(int y, int mo, int d, int h = 9, int mi = 0) {
    return static_cast<double>(days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 - kOffset * 3600);
}

LedgerFill stock(bool buy, std::int64_t lots, double price, double charges, double time,
                 const char* code = "2330") {
    return {code, "", ProductType::Stock, buy, lots, 1000, price, charges, time};
}

LedgerFill future(bool buy, std::int64_t contracts, double price, double charges, double time,
                  const char* contract = "", const char* code = "TXFR1") {
    return {code, contract, ProductType::Future, buy, contracts, 200, price, charges, time};
}

std::shared_ptr<MarginSchedule> txf_margins() {
    auto s = std::make_shared<MarginSchedule>();
    s->add({"TXF", days_from_civil(2024, 12, 9), 322000});
    s->add({"TXF", days_from_civil(2025, 11, 4), 338000});
    s->add({"TXF", days_from_civil(2026, 1, 2), 356000});
    return s;
}

Ledger futures_ledger(double cash) {
    Ledger l(cash);
    l.set_margins(txf_margins());
    auto calendar = std::make_shared<SessionCalendar>();
    calendar->set_holidays({days_from_civil(2026, 1, 1)});
    l.set_calendar(calendar, kOffset);
    return l;
}

}  // namespace

TEST_CASE("a stock buy pays its amount and charges; equity holds the shares at the last price") {
    Ledger l(1'000'000);
    l.book(stock(true, 1, 600.0, 855.0, at(2025, 3, 3)));
    CHECK(l.cash() == doctest::Approx(1'000'000 - 600'000 - 855));
    CHECK(l.equity() == doctest::Approx(1'000'000 - 855));  // valued at its entry before any mark
    l.mark("2330", 571.0, at(2025, 3, 4));
    CHECK(l.equity() == doctest::Approx(1'000'000 - 600'000 - 855 + 571'000));
    const auto open = l.open_positions();
    REQUIRE(open.size() == 1);
    CHECK(open[0].long_side);
    CHECK(open[0].quantity == 1);
    CHECK(open[0].last_price == 571.0);
    CHECK(open[0].unrealised == doctest::Approx(-29'000));
    l.book(stock(false, 1, 571.0, 2500.0, at(2025, 3, 4)));
    CHECK_FALSE(l.has_positions());
    CHECK(l.equity() == doctest::Approx(l.cash()));
    CHECK(l.cash() == doctest::Approx(1'000'000 - 29'000 - 855 - 2500));
}

TEST_CASE("a short stock takes the proceeds into cash and owes the shares at the mark") {
    Ledger l(1'000'000);
    l.book(stock(false, 2, 100.0, 300.0, at(2025, 3, 3)));
    CHECK(l.cash() == doctest::Approx(1'000'000 + 200'000 - 300));
    l.mark("2330", 110.0, at(2025, 3, 3, 10));
    // A rise is a loss for the short: 2 lots x 1000 x 10.
    CHECK(l.equity() == doctest::Approx(1'000'000 - 300 - 20'000));
    CHECK(l.open_positions()[0].unrealised == doctest::Approx(-20'000));
    CHECK_FALSE(l.open_positions()[0].long_side);
    l.book(stock(true, 2, 110.0, 400.0, at(2025, 3, 3, 11)));
    CHECK(l.cash() == doctest::Approx(1'000'000 - 20'000 - 700));
}

TEST_CASE("a futures entry pays only its charges and holds the margin of its trading date") {
    Ledger l = futures_ledger(1'000'000);
    l.book(future(true, 1, 17'000, 60, at(2024, 3, 4)));
    CHECK(l.cash() == doctest::Approx(1'000'000 - 60));
    CHECK(l.margin_in_use() == 322000);  // before the table's first row: its first row
    CHECK(l.buying_power(ProductType::Stock) == doctest::Approx(678'000 - 60));
    l.mark("TXFR1", 16'900, at(2024, 3, 4, 10));
    // Equity loses 100 points x 200; the stock buying power loses it too.
    CHECK(l.equity() == doctest::Approx(1'000'000 - 60 - 20'000));
    CHECK(l.buying_power(ProductType::Stock) == doctest::Approx(678'000 - 60 - 20'000));
    CHECK(l.buying_power(ProductType::Future) == doctest::Approx(1'000'000 - 60 - 20'000 - 322'000));
    l.mark("TXFR1", 17'100, at(2024, 3, 4, 11));
    // A futures gain is not cash before the cover.
    CHECK(l.buying_power(ProductType::Stock) == doctest::Approx(678'000 - 60));
    CHECK(l.buying_power(ProductType::Future) == doctest::Approx(1'000'000 - 60 + 20'000 - 322'000));
}

TEST_CASE("a short future gains when the price falls, in equity and in buying power") {
    Ledger l = futures_ledger(1'000'000);
    l.book(future(false, 2, 17'000, 100, at(2025, 3, 4)));
    l.mark("TXFR1", 16'950, at(2025, 3, 4, 10));
    CHECK(l.futures_unrealised() == doctest::Approx(2 * 50 * 200));
    CHECK(l.equity() == doctest::Approx(1'000'000 - 100 + 20'000));
    l.mark("TXFR1", 17'050, at(2025, 3, 4, 11));
    CHECK(l.buying_power(ProductType::Stock) == doctest::Approx(1'000'000 - 100 - 2 * 322'000 - 20'000));
    l.book(future(true, 2, 17'050, 100, at(2025, 3, 4, 12)));
    CHECK(l.cash() == doctest::Approx(1'000'000 - 200 - 20'000));
    CHECK(l.margin_in_use() == 0);
}

TEST_CASE("covers take the oldest lots first and a larger cover opens the other side") {
    Ledger l = futures_ledger(0);
    l.book(future(true, 1, 100, 0, at(2025, 3, 4)));
    l.book(future(true, 2, 110, 0, at(2025, 3, 4, 9, 1)));
    l.book(future(false, 2, 120, 0, at(2025, 3, 4, 9, 2)));  // 1 @100, then 1 @110
    CHECK(l.cash() == doctest::Approx((20 + 10) * 200));
    auto open = l.open_positions();
    REQUIRE(open.size() == 1);
    CHECK(open[0].quantity == 1);
    CHECK(open[0].entry_price == 110);
    l.book(future(false, 3, 130, 0, at(2025, 3, 4, 9, 3)));  // covers the last, shorts 2
    CHECK(l.cash() == doctest::Approx((20 + 10 + 20) * 200));
    open = l.open_positions();
    REQUIRE(open.size() == 1);
    CHECK_FALSE(open[0].long_side);
    CHECK(open[0].quantity == 2);
    CHECK(open[0].entry_price == 130);
}

TEST_CASE("two contracts of one code are two positions: a roll realises each month's own move") {
    Ledger l = futures_ledger(1'000'000);
    l.book(future(true, 1, 18'000, 0, at(2024, 3, 18), "202403"));
    l.book(future(false, 1, 18'050, 0, at(2024, 3, 20, 13, 0), "202403"));
    l.book(future(true, 1, 18'150, 0, at(2024, 3, 20, 13, 0), "202404"));
    CHECK(l.cash() == doctest::Approx(1'000'000 + 50 * 200));
    l.mark("TXFR1", 18'100, at(2024, 3, 21), std::string_view("202404"));
    const auto open = l.open_positions();
    REQUIRE(open.size() == 1);
    CHECK(open[0].contract == "202404");
    CHECK(open[0].unrealised == doctest::Approx(-50 * 200));
    CHECK(l.equity() == doctest::Approx(1'000'000));
}

TEST_CASE("the later of a code mark and a contract mark prices the contract") {
    Ledger l(0);
    l.book(future(true, 1, 100, 0, at(2025, 3, 4), "202503"));
    l.mark("TXFR1", 105, at(2025, 3, 4, 10), std::string_view("202503"));
    CHECK(l.open_positions()[0].last_price == 105);
    l.mark("TXFR1", 103, at(2025, 3, 4, 11));
    CHECK(l.open_positions()[0].last_price == 103);
}

TEST_CASE("marks that are not positive finite prices are ignored") {
    Ledger l(0);
    l.book(stock(true, 1, 50, 0, at(2025, 3, 3)));
    CHECK(l.mark("2330", 55, at(2025, 3, 3, 10)));
    CHECK_FALSE(l.mark("2330", 0, at(2025, 3, 5)));
    CHECK_FALSE(l.mark("2330", -1, at(2025, 3, 5)));
    CHECK_FALSE(l.mark("2330", std::nan(""), at(2025, 3, 5)));
    CHECK_FALSE(l.mark("2330", INFINITY, at(2025, 3, 5)));
    CHECK(l.open_positions()[0].last_price == 55);
    CHECK(*l.clock() == at(2025, 3, 3, 10));
}

TEST_CASE("the margin follows the clock's trading date; a night session counts for the next date") {
    Ledger l = futures_ledger(1'000'000);
    l.book(future(true, 1, 23'000, 0, at(2025, 12, 31, 10)));
    CHECK(l.margin_in_use() == 338000);
    // The night session after 12-31 belongs to 2026-01-02 (01-01 is a holiday).
    l.mark("TXFR1", 23'000, at(2025, 12, 31, 15, 5));
    CHECK(l.margin_in_use() == 356000);
    CHECK(l.initial_margin("TXFR1", at(2025, 12, 31, 13, 44)) == 338000);
    CHECK(l.initial_margin("TXFR1", at(2026, 1, 1, 3, 0)) == 356000);
    CHECK(l.initial_margin("TXFR1") == 356000);
    CHECK(l.initial_margin("ZZZR1") == 0);
}

TEST_CASE("a family priced before its first row is told once") {
    Ledger l = futures_ledger(1'000'000);
    l.book(future(true, 1, 17'000, 0, at(2024, 3, 4)));
    CHECK(l.margin_in_use() == 322000);
    CHECK(l.margin_in_use() == 322000);
    const auto notices = l.take_margin_notices();
    REQUIRE(notices.size() == 1);
    CHECK(notices[0].family == "TXF");
    CHECK(notices[0].first_date == days_from_civil(2024, 12, 9));
    CHECK(l.initial_margin("TXFR1") == 322000);
    CHECK(l.take_margin_notices().empty());
}

TEST_CASE("bad fills are refused before anything changes; reset clears the book") {
    Ledger l(100);
    CHECK_THROWS_AS(l.book(stock(true, 0, 10, 0, 0)), std::invalid_argument);
    CHECK_THROWS_AS(l.book(stock(true, 1, 0, 0, 0)), std::invalid_argument);
    CHECK_THROWS_AS(l.book(stock(true, 1, 10, std::nan(""), 0)), std::invalid_argument);
    CHECK(l.cash() == 100);
    CHECK_FALSE(l.has_positions());
    l.book(stock(true, 1, 0.05, 0, at(2025, 3, 3)));
    l.mark("2330", 0.06, at(2025, 3, 3));
    l.reset(500);
    CHECK(l.cash() == 500);
    CHECK_FALSE(l.has_positions());
    CHECK_FALSE(l.clock().has_value());
}
