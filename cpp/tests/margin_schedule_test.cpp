#include <doctest/doctest.h>

#include <cmath>
#include <stdexcept>

#include "vkb/civil_time.hpp"
#include "vkb/margin_schedule.hpp"

using namespace vkb;

TEST_CASE("the margin in force is the last row on or before the date") {
    MarginSchedule s;
    const auto nov4 = days_from_civil(2025, 11, 4), jan2 = days_from_civil(2026, 1, 2);
    s.add({"TXF", jan2, 356000});
    s.add({"TXF", nov4, 338000});
    CHECK(s.lookup("TXF", nov4).initial_margin == 338000);
    CHECK(s.lookup("TXF", jan2 - 1).initial_margin == 338000);
    CHECK(s.lookup("TXF", jan2).initial_margin == 356000);
    CHECK(s.lookup("TXF", jan2 + 400).initial_margin == 356000);
    CHECK_FALSE(s.lookup("TXF", jan2).before_first_row);
}

TEST_CASE("a date before a family's first row takes that row and says so") {
    MarginSchedule s;
    const auto first = days_from_civil(2024, 12, 9);
    s.add({"MXF", first, 80500});
    const MarginLookup early = s.lookup("MXF", first - 30);
    CHECK(early.initial_margin == 80500);
    CHECK(early.before_first_row);
    CHECK(early.first_date == first);
    CHECK_FALSE(s.lookup("MXF", first).before_first_row);
}

TEST_CASE("a family without rows has no margin and is not listed") {
    MarginSchedule s;
    s.add({"TXF", 0, 1});
    const MarginLookup none = s.lookup_code("QQQR1", 100);
    CHECK(none.initial_margin == 0);
    CHECK_FALSE(none.listed);
    CHECK_FALSE(none.before_first_row);
}

TEST_CASE("a code's family is its first three characters") {
    CHECK(futures_family_of("TXFR1") == "TXF");
    CHECK(futures_family_of("MXF202403") == "MXF");
    CHECK(futures_family_of("TX") == "TX");
}

TEST_CASE("rows with a bad margin or no family are refused; a repeated date replaces") {
    MarginSchedule s;
    CHECK_THROWS_AS(s.add({"TXF", 0, -1}), std::invalid_argument);
    CHECK_THROWS_AS(s.add({"TXF", 0, std::nan("")}), std::invalid_argument);
    CHECK_THROWS_AS(s.add({"", 0, 1}), std::invalid_argument);
    CHECK(s.empty());
    s.add({"TXF", 5, 100});
    s.add({"TXF", 5, 200});
    REQUIRE(s.rows().size() == 1);
    CHECK(s.rows()[0].initial_margin == 200);
}
