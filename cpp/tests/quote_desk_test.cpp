#include <doctest/doctest.h>

#include <cmath>
#include <stdexcept>

#include "vkb/civil_time.hpp"
#include "vkb/quote_desk.hpp"

using namespace vkb;

namespace {
// 2024-01-02 09:00 in Taipei, as epoch seconds.
constexpr double kOpen = 1704157200.0;

QuoteTick stock_tick(double epoch_seconds, double close = 10.0) {
    return checked_quote_tick(ProductType::Stock, epoch_seconds, 8, close, 1, 0, false);
}
}  // namespace

TEST_CASE("a tick outside 1970 to 2100 or with a bad close, qty or tick type is refused with its value") {
    CHECK(checked_quote_tick(ProductType::Stock, kOpen, 8, 10.0, 1, -128, false).dt_us ==
          days_from_civil(2024, 1, 2) * kMicrosPerDay + 9 * kMicrosPerHour);
    CHECK_THROWS_WITH_AS(stock_tick(-1.0), "tick 的 'timestamp' 超出範圍 (1970-01-01 至 2100-01-01 之前): -1.000000",
                         std::invalid_argument);
    CHECK_THROWS_AS(stock_tick(kEndTickTimestamp), std::invalid_argument);
    CHECK_THROWS_AS(stock_tick(std::nan("")), std::invalid_argument);
    CHECK_THROWS_WITH_AS(stock_tick(kOpen, -0.5), "tick 的 'close' 必須是不小於 0 的有限數值: -0.500000",
                         std::invalid_argument);
    CHECK_THROWS_AS(stock_tick(kOpen, INFINITY), std::invalid_argument);
    CHECK_THROWS_WITH_AS(checked_quote_tick(ProductType::Stock, kOpen, 8, 1.0, -1, 0, false),
                         "tick 的 'qty' 不能小於 0: -1", std::invalid_argument);
    CHECK_THROWS_WITH_AS(checked_quote_tick(ProductType::Stock, kOpen, 8, 1.0, 1, 128, false),
                         "tick 的 'tick_type' 必須在 -128 至 127 之間: 128", std::invalid_argument);
}

TEST_CASE("a hint finds the code's buffer until the desk is cleared") {
    QuoteDesk desk;
    EntryHint hint;
    CodeTicks& first = desk.entry("2330", &hint);
    CHECK(hint.entry == &first);
    CHECK(&desk.entry("other code", &hint) == &first);  // a valid hint is trusted
    for (const char* code : {"a", "b", "c", "d", "e"}) desk.entry(code);
    CHECK(&desk.entry("2330") == &first);  // past the recent codes, found by name
    desk.clear();
    CodeTicks& again = desk.entry("2330", &hint);
    CHECK(hint.entry == &again);
    CHECK(again.history.empty());
}

TEST_CASE("under a tick window a code's ticks keep one market") {
    QuoteDesk desk;
    CodeTicks& entry = desk.entry("2330");
    desk.add_tick(entry, stock_tick(kOpen));
    const QuoteTick future = checked_quote_tick(ProductType::Future, kOpen + 60, 8, 10.0, 1, 0, false);
    desk.book().set_tick_window(1);
    CHECK_THROWS_WITH_AS(desk.add_tick(entry, future),
                         "保留有限的 tick 時, 同一商品的 tick 須屬同一市場 (Stock 或 Future): 2330",
                         std::invalid_argument);
    desk.book().set_tick_window(0);
    desk.add_tick(entry, future);
    CHECK(entry.history.size() == 2);
}

TEST_CASE("indicators are checked, numbered in order and found by handle") {
    QuoteDesk desk;
    const std::size_t s = desk.subscribe("2330", BarRule{BarUnit::Minute, 1});
    CHECK_THROWS_WITH_AS(desk.add_indicator(s, "macd", 3, 2.0), "不支援的指標: macd", std::invalid_argument);
    CHECK_THROWS_WITH_AS(desk.add_indicator(s, "sma", 0, 2.0), "指標的長度必須是正整數: 0", std::invalid_argument);
    CHECK_THROWS_AS(desk.add_indicator(s, "bollinger_upper", 3, -1.0), std::invalid_argument);
    CHECK(desk.add_indicator(s, "vwap", 0, 2.0) == 0);  // vwap takes no length
    CHECK(desk.add_indicator(s, "sma", 3, 0.0) == 1);
    CHECK(desk.indicator(1).values().empty());
    CHECK_THROWS_WITH_AS(desk.indicator(2), "沒有這個指標: 2", std::invalid_argument);
}

TEST_CASE("the layout token holds while the bars keep their columns and length") {
    QuoteDesk desk;
    CodeTicks& entry = desk.entry("2330");
    desk.add_tick(entry, stock_tick(kOpen));
    KbarCache& cache = entry.cache(BarRule{BarUnit::Minute, 1}, desk.book().calendar());
    entry.update(cache, desk.book().calendar());
    const std::uint64_t token = desk.layout_token(cache.bars());
    desk.add_tick(entry, stock_tick(kOpen + 10, 11.0));  // same bar: values change, layout does not
    entry.update(cache, desk.book().calendar());
    CHECK(desk.layout_token(cache.bars()) == token);
    desk.add_tick(entry, stock_tick(kOpen + 60, 12.0));
    entry.update(cache, desk.book().calendar());
    CHECK(desk.layout_token(cache.bars()) != token);
}

TEST_CASE("draining hands over the ticks not drained yet once; reading k-bars as a table drains them all") {
    QuoteDesk desk;
    CHECK(desk.drain("2330").size() == 0);
    CHECK(desk.bars("2330", BarRule{BarUnit::Minute, 1}, true) == nullptr);
    CodeTicks& entry = desk.entry("2330");
    desk.add_tick(entry, stock_tick(kOpen));
    desk.add_tick(entry, stock_tick(kOpen + 10));
    const TickSpan fresh = desk.drain("2330");
    CHECK((fresh.entry == &entry && fresh.begin == 0 && fresh.end == 2));
    CHECK(desk.drain("2330").size() == 0);
    desk.add_tick(entry, stock_tick(kOpen + 20, 11.0));
    CHECK(desk.drained("2330").end == 2);
    const KbarCache* cache = desk.bars("2330", BarRule{BarUnit::Minute, 1}, false);
    REQUIRE(cache != nullptr);
    CHECK(cache->bars().close.back() == 11.0);
    CHECK(entry.fresh_ticks().size() == 1);
    desk.add_tick(entry, stock_tick(kOpen + 30, 12.0));
    CHECK(desk.bars("2330", BarRule{BarUnit::Minute, 1}, true)->bars().close.back() == 12.0);
    CHECK(entry.fresh_ticks().size() == 0);
    CHECK(desk.drained("2330").size() == 4);
}
