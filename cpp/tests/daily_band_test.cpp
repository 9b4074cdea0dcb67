#include <doctest/doctest.h>

#include "vkb/daily_band.hpp"

using namespace vkb;

TEST_CASE("a stock's band comes from the previous day's last trade and holds its edges") {
    DailyBands bands;
    bands.observe("2330", 10, 600.0);
    CHECK_FALSE(bands.band("2330"));  // no previous day yet
    bands.observe("2330", 10, 590.0);
    bands.observe("2330", 11, 620.0);
    bands.observe("2330", 11, 640.0);  // today's trades leave today's band alone
    const auto band = bands.band("2330");
    REQUIRE(band);
    CHECK(band->first == doctest::Approx(531.0));
    CHECK(band->second == doctest::Approx(649.0));
    CHECK_FALSE(bands.outside("2330", 649.0));
    CHECK_FALSE(bands.outside("2330", 531.0));
    CHECK(bands.outside("2330", 650.0));
    CHECK(bands.outside("2330", 530.0));
    bands.observe("2330", 12, 645.0);  // the next day: from 640
    CHECK(bands.band("2330")->second == doctest::Approx(704.0));
    CHECK_FALSE(bands.outside("2317", 1.0));
}
