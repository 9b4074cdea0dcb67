#include <doctest/doctest.h>

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "vkb/civil_time.hpp"
#include "vkb/contract_grid.hpp"
#include "vkb/holiday_table.hpp"
#include "vkb/session_calendar.hpp"

using namespace vkb;

TEST_CASE("a band bound belongs to the upper band and its tick below to the lower one") {
    const ContractGrid stock = ContractGrid::for_stock("2330");
    CHECK(stock.tick_cents_at(50.0) == 10);
    CHECK(stock.tick_cents_at(49.9999999999) == 10);
    CHECK(stock.tick_cents_below(50.0) == 5);
    CHECK(stock.nearest_cents(1002.0) == 100000);
    CHECK(stock.nearest_cents(580.5) == 58000);  // halves go to the even tick, as numpy rounds
    const ContractGrid fund = ContractGrid::for_stock("0050");
    CHECK(fund.tick_cents_at(1500.0) == 5);
    CHECK(fund.nearest_cents(1000.02) == 100000);
}

TEST_CASE("a futures family moves by its own tick over the whole range") {
    const ContractGrid electronics = ContractGrid::for_futures(0.05);
    CHECK(electronics.fixed_tick_cents() == 5);
    CHECK(electronics.nearest_cents(1234.56) == 123455);
    CHECK(electronics.on_grid(1234.55));
    CHECK_FALSE(electronics.on_grid(1234.56));
    CHECK(ContractGrid::for_futures(1.0).nearest_cents(17500.4) == 1750000);
    CHECK_THROWS_AS(ContractGrid::for_futures(0.003), std::invalid_argument);
    CHECK_THROWS_AS(ContractGrid::for_futures(-1.0), std::invalid_argument);
}

TEST_CASE("the holiday table reads its Date column whatever the other columns") {
    std::istringstream table("Name,Date\r\nNew year,2024-01-01\r\n\r\n\"Peace\",\"2024-02-28\"\r\n");
    CHECK(parse_holiday_table(table) ==
          std::vector<std::int64_t>{days_from_civil(2024, 1, 1), days_from_civil(2024, 2, 28)});
    std::istringstream no_column("Day\n2024-01-01\n");
    CHECK_THROWS_AS(parse_holiday_table(no_column), std::invalid_argument);
    std::istringstream bad_day("Date\n2024-02-30\n");
    CHECK_THROWS_AS(parse_holiday_table(bad_day), std::invalid_argument);
}

TEST_CASE("sessions of a day follow the closed minutes of the same calendar") {
    SessionCalendar cal;
    cal.set_holidays({days_from_civil(2024, 10, 10)});
    // Friday 2024-01-05: the night before, the day session, and the night running into Saturday.
    const auto friday = cal.sessions_touching(ProductType::Future, days_from_civil(2024, 1, 5));
    REQUIRE(friday.size() == 3);
    CHECK(friday[0].night);
    CHECK(friday[2].end_us == days_from_civil(2024, 1, 6) * kMicrosPerDay + kNightEndSecond * kMicrosPerSecond);
    for (ProductType market : {ProductType::Stock, ProductType::Future})
        for (std::int64_t day = days_from_civil(2024, 10, 7); day <= days_from_civil(2024, 10, 14); ++day)
            for (const TradingSession& s : cal.sessions_touching(market, day))
                for (std::int64_t us = s.start_us; us < s.end_us; us += kMicrosPerMinute)
                    if (floor_div(us, kMicrosPerDay) == day) CHECK(cal.is_open_minute(market, us));
    CHECK(cal.sessions_touching(ProductType::Future, days_from_civil(2024, 10, 10)).empty());
    CHECK(cal.sessions_touching(ProductType::Stock, days_from_civil(2024, 1, 6)).empty());
}

TEST_CASE("the neighbours of a price are the grid points either side of it in its band") {
    using Pair = std::pair<std::int64_t, std::int64_t>;
    const ContractGrid stock = ContractGrid::for_stock("2330");
    CHECK(stock.neighbours_cents(592.7) == Pair{59200, 59300});
    CHECK(stock.neighbours_cents(49.99) == Pair{4995, 5000});
    CHECK(stock.neighbours_cents(50.05) == Pair{5000, 5010});
    CHECK(stock.neighbours_cents(1.1) == Pair{110, 111});  // on the grid despite binary noise
    CHECK(ContractGrid::for_futures(0.05).neighbours_cents(1234.56) == Pair{123455, 123460});
    CHECK(ContractGrid::for_futures(1.0).neighbours_cents(17500.5) == Pair{1750000, 1750100});
}

TEST_CASE("a futures code's grid is its family's tick from the contract table, whole points outside it") {
    CHECK(ContractGrid::for_code("TXFR1", ProductType::Future).fixed_tick_cents() == 100);
    CHECK(ContractGrid::for_code("EXFR1", ProductType::Future).fixed_tick_cents() == 5);
    CHECK(ContractGrid::for_code("FXFR2", ProductType::Future).fixed_tick_cents() == 20);
    CHECK(ContractGrid::for_code("ABCR1", ProductType::Future).fixed_tick_cents() == 100);
    CHECK(ContractGrid::for_code("0050", ProductType::Stock).is_fund());
}

TEST_CASE("floor and ceil onto the grid use the tick of the band holding the amount") {
    const ContractGrid stock = ContractGrid::for_stock("2330");
    CHECK(stock.floor_cents(5098) == 5090);
    CHECK(stock.ceil_cents(4998) == 5000);
    CHECK(stock.floor_cents(5000) == 5000);
    CHECK(stock.ceil_cents(5000) == 5000);
    const ContractGrid exf = ContractGrid::for_futures(0.05);
    CHECK(exf.floor_cents(-7) == -10);
    CHECK(exf.ceil_cents(-7) == -5);
}
