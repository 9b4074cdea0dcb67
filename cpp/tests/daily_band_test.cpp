#include <doctest/doctest.h>

#include <cstdint>
#include <utility>

#include "vkb/civil_time.hpp"
#include "vkb/daily_band.hpp"
#include "vkb/session_calendar.hpp"

using namespace vkb;

namespace {

std::int64_t at(std::int64_t day, int hour, int minute) {
    return day * kMicrosPerDay + (std::int64_t{hour} * 3600 + minute * 60) * kMicrosPerSecond;
}

using Band = std::pair<double, double>;

}  // namespace

TEST_CASE("a stock's limits are rounded onto its grid inward, on the tick of the band each falls in") {
    const ContractGrid stock = ContractGrid::for_stock("2330");
    CHECK(daily_band(stock, 600.0) == Band{540.0, 660.0});
    CHECK(daily_band(stock, 101.0) == Band{90.9, 111.0});     // 111.1 floors to the 0.5 tick
    CHECK(daily_band(stock, 46.35) == Band{41.75, 50.9});     // 41.715 ceils to 0.05, 50.985 floors to 0.1
    CHECK(daily_band(stock, 9.1) == Band{8.19, 10.0});        // 10.01 lies in the 0.05 band: down to 10
    CHECK(daily_band(stock, 1005.0) == Band{905.0, 1105.0});  // 904.5 ceils to 1, 1105.5 floors to 5
    const ContractGrid fund = ContractGrid::for_stock("0050");
    CHECK(daily_band(fund, 46.35) == Band{41.72, 50.95});
}

TEST_CASE("a futures contract's limits are rounded inward onto its family's fixed tick") {
    CHECK(daily_band(ContractGrid::for_futures(1.0), 23151.0) == Band{20836.0, 25466.0});
    CHECK(daily_band(ContractGrid::for_futures(0.05), 1234.55) == Band{1111.1, 1358.0});
    CHECK(daily_band(ContractGrid::for_futures(0.2), 2001.4) == Band{1801.4, 2201.4});
    CHECK(daily_band(ContractGrid::for_code("TXFR1", ProductType::Future), 20000.0) == Band{18000.0, 22000.0});
}

TEST_CASE("a stock's band comes from the previous day's last trade and holds its edges") {
    const ContractGrid stock = ContractGrid::for_stock("2330");
    DailyBands bands;
    bands.observe("2330", ProductType::Stock, stock, at(10, 9, 0), 600.0);
    CHECK_FALSE(bands.band("2330"));  // no previous day yet
    bands.observe("2330", ProductType::Stock, stock, at(10, 13, 30), 590.0);
    bands.observe("2330", ProductType::Stock, stock, at(11, 9, 0), 620.0);
    bands.observe("2330", ProductType::Stock, stock, at(11, 10, 0), 640.0);  // today's trades leave today's band alone
    REQUIRE(bands.band("2330"));
    CHECK(*bands.band("2330") == Band{531.0, 649.0});
    CHECK_FALSE(bands.outside("2330", 649.0));
    CHECK_FALSE(bands.outside("2330", 531.0));
    CHECK(bands.outside("2330", 650.0));
    CHECK(bands.outside("2330", 530.0));
    bands.observe("2330", ProductType::Stock, stock, at(12, 9, 0), 645.0);  // the next day: from 640
    CHECK(bands.band("2330")->second == 704.0);
    CHECK_FALSE(bands.outside("2317", 1.0));
}

TEST_CASE("a futures band comes from the day session's last trade and holds through the night and a weekend") {
    const ContractGrid txf = ContractGrid::for_futures(1.0);
    DailyBands bands;
    const std::int64_t friday = days_from_civil(2026, 1, 9);
    bands.observe("TXFR1", ProductType::Future, txf, at(friday - 1, 15, 0), 30000.0);  // a night before any day session
    CHECK_FALSE(bands.band("TXFR1"));
    bands.observe("TXFR1", ProductType::Future, txf, at(friday, 8, 45), 23000.0);
    CHECK_FALSE(bands.band("TXFR1"));
    bands.observe("TXFR1", ProductType::Future, txf, at(friday, 13, 45), 23151.0);
    CHECK_FALSE(bands.band("TXFR1"));
    bands.observe("TXFR1", ProductType::Future, txf, at(friday, 15, 0), 23200.0);  // the night trades in Monday's band
    CHECK(*bands.band("TXFR1") == Band{20836.0, 25466.0});
    bands.observe("TXFR1", ProductType::Future, txf, at(friday + 1, 5, 0), 23300.0);
    bands.observe("TXFR1", ProductType::Future, txf, at(friday + 3, 8, 45), 23400.0);
    CHECK(*bands.band("TXFR1") == Band{20836.0, 25466.0});
    CHECK(bands.outside("TXFR1", 25467.0));
    CHECK_FALSE(bands.outside("TXFR1", 25466.0));
    bands.observe("TXFR1", ProductType::Future, txf, at(friday + 3, 13, 45), 24000.0);
    bands.observe("TXFR1", ProductType::Future, txf, at(friday + 3, 15, 0), 24010.0);
    CHECK(*bands.band("TXFR1") == Band{21600.0, 26400.0});
}

TEST_CASE("only a futures day-session trade sets the reference; every stock trade does") {
    CHECK(sets_band_reference(ProductType::Stock, 9 * 3600));
    CHECK(sets_band_reference(ProductType::Future, kFuturesDayOpenSecond));
    CHECK(sets_band_reference(ProductType::Future, kFuturesDayCloseSecond));
    CHECK_FALSE(sets_band_reference(ProductType::Future, kFuturesDayCloseSecond + 1));
    CHECK_FALSE(sets_band_reference(ProductType::Future, kNightStartSecond));
    CHECK_FALSE(sets_band_reference(ProductType::Future, kNightEndSecond));
}
