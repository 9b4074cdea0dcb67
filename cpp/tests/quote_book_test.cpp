#include <doctest/doctest.h>

#include <vector>

#include "vkb/civil_time.hpp"
#include "vkb/quote_book.hpp"

using namespace vkb;

namespace {
std::int64_t wall(int y, int mo, int d, int h, int mi, int s = 0) {
    return days_from_civil(y, mo, d) * kMicrosPerDay + h * kMicrosPerHour + mi * kMicrosPerMinute +
           s * kMicrosPerSecond;
}
QuoteTick tick(std::int64_t dt, double close, std::int64_t qty = 1, ProductType market = ProductType::Stock) {
    QuoteTick t;
    t.dt_us = dt;
    t.close = close;
    t.qty = qty;
    t.market = market;
    return t;
}
}  // namespace

TEST_CASE("gaps inside a session fill minute by minute, closed hours and weekends stay empty") {
    QuoteBook book;
    auto& e = book.entry("2330");
    book.add_tick(e, tick(wall(2024, 1, 5, 13, 25, 30), 10.0));
    book.add_tick(e, tick(wall(2024, 1, 5, 13, 26, 59), 11.0));  // adjacent minute
    CHECK(e.history.size() == 2);
    book.add_tick(e, tick(wall(2024, 1, 8, 9, 2, 0), 12.0));  // Friday 13:29 ... Monday 09:01
    REQUIRE(e.history.size() == 8);
    const std::int64_t expected[] = {wall(2024, 1, 5, 13, 27), wall(2024, 1, 5, 13, 28), wall(2024, 1, 5, 13, 29),
                                     wall(2024, 1, 8, 9, 0), wall(2024, 1, 8, 9, 1)};
    for (int i = 0; i < 5; ++i) {
        CHECK(e.history[2 + i].dt_us == expected[i]);
        CHECK(e.history[2 + i].is_virtual);
        CHECK(e.history[2 + i].qty == 0);
        CHECK(e.history[2 + i].close == 11.0);
    }
    CHECK(e.last_tick()->close == 12.0);
}

TEST_CASE("a trading date without a tick of the code is never filled") {
    QuoteBook book;
    auto& stock = book.entry("2330");
    book.add_tick(stock, tick(wall(2024, 1, 2, 13, 28), 10.0));
    book.add_tick(stock, tick(wall(2024, 1, 4, 9, 1), 12.0));  // Wednesday 2024-01-03 had no data
    REQUIRE(stock.history.size() == 4);
    CHECK(stock.history[1].dt_us == wall(2024, 1, 2, 13, 29));
    CHECK(stock.history[2].dt_us == wall(2024, 1, 4, 9, 0));

    auto& future = book.entry("TXFR1");
    book.add_tick(future, tick(wall(2024, 1, 2, 13, 44), 100.0, 1, ProductType::Future));
    // The night of 01-02 and the day of 01-03 (trading date 2024-01-03) had no data; the night of 01-03
    // opens the tick's own trading date 2024-01-04.
    book.add_tick(future, tick(wall(2024, 1, 3, 15, 2), 101.0, 1, ProductType::Future));
    REQUIRE(future.history.size() == 4);
    CHECK(future.history[1].dt_us == wall(2024, 1, 3, 15, 0));
    CHECK(future.history[2].dt_us == wall(2024, 1, 3, 15, 1));
}

TEST_CASE("k-bar caches fold late ticks into the open bar and drop older and simulated ones") {
    QuoteBook book;
    auto& e = book.entry("2330");
    book.add_tick(e, tick(wall(2024, 1, 2, 9, 0, 5), 10.0, 2));
    book.add_tick(e, tick(wall(2024, 1, 2, 9, 0, 1), 9.0, 1));  // earlier, same bar: becomes the open
    auto& cache = e.cache({BarUnit::Minute, 1}, book.calendar());
    cache.update(e.history, book.calendar());
    REQUIRE(cache.bars().size() == 1);
    CHECK(cache.bars().open[0] == 9.0);
    CHECK(cache.bars().close[0] == 10.0);
    CHECK(cache.rewrite_version() == 0);
    book.add_tick(e, tick(wall(2024, 1, 2, 9, 1, 0), 12.0, 5));
    auto simulated = tick(wall(2024, 1, 2, 9, 1, 1), 99.0, 7);
    simulated.is_simulate = true;
    book.add_tick(e, simulated);
    book.add_tick(e, tick(wall(2024, 1, 2, 8, 59, 30), 50.0, 3));  // bar before the open one at batch start
    const auto rewrites_before = cache.rewrite_version();
    cache.update(e.history, book.calendar());
    REQUIRE(cache.bars().size() == 2);
    CHECK(cache.rewrite_version() == rewrites_before);  // appending the 09:01 bar rewrites nothing
    CHECK(cache.bars().volume[0] == 3);
    CHECK(cache.bars().high[1] == 12.0);
    CHECK(cache.bars().volume[1] == 5);
}

TEST_CASE("hour and day bars follow the sessions") {
    SessionCalendar cal;
    const BarRule hour{BarUnit::Hour, 1};
    const BarRule day{BarUnit::Day, 1};
    CHECK(hour.bucket_start(ProductType::Stock, wall(2024, 1, 2, 9, 59), cal) == wall(2024, 1, 2, 9, 0));
    CHECK(hour.bucket_start(ProductType::Future, wall(2024, 1, 2, 9, 44), cal) == wall(2024, 1, 2, 8, 45));
    CHECK(hour.bucket_start(ProductType::Future, wall(2024, 1, 3, 0, 30), cal) == wall(2024, 1, 3, 0, 0));
    CHECK(BarRule{BarUnit::Hour, 4}.bucket_start(ProductType::Future, wall(2024, 1, 3, 2, 0), cal) ==
          wall(2024, 1, 2, 23, 0));
    CHECK(day.bucket_start(ProductType::Future, wall(2024, 1, 5, 20, 0), cal) == wall(2024, 1, 8, 0, 0));
    // The night's closing print at 05:00:00 is the night's: hours counted from 15:00 (a bar of its own,
    // as the day session's 13:45 print) and the night's trading date.
    CHECK(hour.bucket_start(ProductType::Future, wall(2024, 1, 6, 5, 0), cal) == wall(2024, 1, 6, 5, 0));
    CHECK(day.bucket_start(ProductType::Future, wall(2024, 1, 6, 5, 0), cal) == wall(2024, 1, 8, 0, 0));
    CHECK(day.bucket_start(ProductType::Stock, wall(2024, 1, 5, 13, 0), cal) == wall(2024, 1, 5, 0, 0));
    CHECK(BarRule{BarUnit::Week, 1}.bucket_start(ProductType::Stock, wall(2024, 1, 7, 13, 0), cal) ==
          wall(2024, 1, 1, 0, 0));
    CHECK(BarRule{BarUnit::Month, 7}.bucket_start(ProductType::Stock, wall(2024, 1, 3, 0, 0), cal) ==
          wall(2023, 9, 1, 0, 0));
    CHECK(BarRule{BarUnit::Year, 3}.bucket_start(ProductType::Stock, wall(1969, 5, 1, 0, 0), cal) ==
          wall(1967, 1, 1, 0, 0));
}

TEST_CASE("a tick history keeps every tick in order across its growth and moves") {
    // Past the size from which the buffer is mapped on its own and remapped as it grows.
    constexpr int kTicks = 400'000;
    TickHistory history;
    for (int i = 0; i < kTicks; ++i) {
        QuoteTick t;
        t.dt_us = i;
        t.close = i * 0.5;
        history.push_back(t);
    }
    TickHistory moved = std::move(history);
    CHECK(history.empty());
    REQUIRE(moved.size() == kTicks);
    bool in_order = true;
    for (std::size_t i = 0; i < moved.size(); ++i) in_order &= moved[i].dt_us == static_cast<std::int64_t>(i);
    CHECK(in_order);
    CHECK(moved.back().close == (kTicks - 1) * 0.5);
}

TEST_CASE("dropping the oldest ticks keeps the rest in order and counts what went") {
    constexpr int kTicks = 300'000;
    TickHistory history;
    for (int i = 0; i < kTicks; ++i) {
        QuoteTick t;
        t.dt_us = i;
        history.push_back(t);
    }
    history.drop_front(250'000);
    CHECK(history.first() == 250'000);
    CHECK(history.total() == kTicks);
    REQUIRE(history.size() == 50'000);
    CHECK(history[0].dt_us == 250'000);
    QuoteTick t;
    t.dt_us = kTicks;
    history.push_back(t);
    CHECK(history.back().dt_us == kTicks);
    CHECK(history.total() == kTicks + 1);
}

TEST_CASE("a one-day tick window holds the newest trading date's ticks, a cache made later has every bar") {
    QuoteBook book;
    book.set_tick_window(1);
    auto& e = book.entry("TXFR1");
    const auto add = [&](std::int64_t dt, double close) {
        book.add_tick(e, tick(dt, close, 1, ProductType::Future));
        book.trim(e);
    };
    add(wall(2024, 1, 2, 9, 0), 10.0);
    add(wall(2024, 1, 2, 9, 2), 11.0);  // a virtual 09:01 before it
    CHECK(e.history.size() == 3);
    add(wall(2024, 1, 2, 15, 0), 12.0);  // the night session counts for the 3rd: the day session's ticks go
    CHECK(e.history.first() > 0);
    CHECK(e.history.back().close == 12.0);
    for (const QuoteTick& t : std::span<const QuoteTick>(e.history))
        CHECK(book.calendar().trading_date(ProductType::Future, t.dt_us) == days_from_civil(2024, 1, 3));
    auto& day = e.cache({BarUnit::Day, 1}, book.calendar());
    e.update(day, book.calendar());
    REQUIRE(day.bars().size() == 2);
    CHECK(day.bars().open[0] == 10.0);
    CHECK(day.bars().close[0] == 11.0);
    CHECK(day.bars().close[1] == 12.0);
}

TEST_CASE("ticks written as columns come in arrival or time order, the market as 0 or 1") {
    CodeTicks entry;
    entry.history.push_back(tick(wall(2024, 1, 2, 9, 0), 10.0));
    entry.history.push_back(tick(wall(2024, 1, 2, 9, 2), 12.0, 2, ProductType::Future));
    entry.history.push_back(tick(wall(2024, 1, 2, 9, 1), 11.0, 3));
    entry.history.push_back(tick(wall(2024, 1, 2, 9, 1), 13.0, 4));
    entry.history.drop_front(1);
    std::int64_t dt[3], qty[3];
    std::int8_t market[3], tick_type[3];
    double close[3];
    bool is_simulate[3], is_virtual[3];
    const TickColumns out{dt, market, close, qty, tick_type, is_simulate, is_virtual};
    write_tick_columns({&entry, 1, 4}, false, out);
    CHECK(std::vector<double>(close, close + 3) == std::vector<double>{12.0, 11.0, 13.0});
    CHECK(std::vector<int>(market, market + 3) == std::vector<int>{1, 0, 0});
    write_tick_columns({&entry, 1, 4}, true, out);
    CHECK(std::vector<double>(close, close + 3) == std::vector<double>{11.0, 13.0, 12.0});
    CHECK(std::vector<std::int64_t>(qty, qty + 3) == std::vector<std::int64_t>{3, 4, 2});
    CHECK(dt[2] == wall(2024, 1, 2, 9, 2));
    write_tick_columns({&entry, 2, 3}, true, out);
    CHECK(close[0] == 11.0);
}
