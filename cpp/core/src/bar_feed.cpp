#include "vkb/bar_feed.hpp"

#include <algorithm>
#include <iterator>

namespace vkb {

namespace {

// Ten years of minutes: past any exchange closure.
constexpr int kLongestClosure = 10 * 366 * 24 * 60;
// A bar may span this many sessions before it is left to the end of the replay.
constexpr int kLongestBarSessions = 10 * 400 * 2;

std::int64_t next_open_minute(const SessionCalendar& calendar, ProductType market, std::int64_t from) {
    std::int64_t m = floor_to(from, kMicrosPerMinute);
    for (int i = 0; i < kLongestClosure; ++i, m += kMicrosPerMinute)
        if (calendar.is_open_minute(market, m)) return m;
    return INT64_MAX;
}

std::int64_t session_key(ProductType market, std::int64_t wall_us, const SessionCalendar& calendar) {
    return calendar.trading_date(market, wall_us);
}

}  // namespace

std::int64_t session_end_after(const SessionCalendar& calendar, ProductType market, std::int64_t wall_us) {
    std::int64_t m = floor_to(wall_us, kMicrosPerMinute);
    for (int i = 0; i < 24 * 60; ++i, m += kMicrosPerMinute)
        if (!calendar.is_open_minute(market, m)) return m + kMicrosPerMinute;
    return m;
}

std::size_t BarFeed::subscribe(QuoteBook& book, CodeTicks& entry, BarRule rule) {
    auto& mine = by_code_[&entry];
    for (std::size_t s : mine)
        if (subscriptions_[s].rule.unit == rule.unit && subscriptions_[s].rule.freq == rule.freq) return s;
    BarSubscription sub{&entry, &entry.cache(rule, book.calendar()), rule, 0, 0, {}};
    subscriptions_.push_back(std::move(sub));
    const std::size_t s = subscriptions_.size() - 1;
    mine.push_back(s);
    refold(book, s);
    return s;
}

Indicator& BarFeed::add_indicator(const QuoteBook& book, std::size_t s, IndicatorKind kind, std::int64_t length,
                                  double width) {
    BarSubscription& sub = subscriptions_[s];
    for (auto& existing : sub.indicators)
        if (existing->kind() == kind && existing->length() == length && existing->width() == width) return *existing;
    auto indicator = std::make_unique<Indicator>(kind, length, width);
    const KbarColumns& bars = sub.cache->bars();
    for (std::size_t i = 0; i < sub.delivered; ++i)
        indicator->push(bars, i, session_key(sub.entry->history.back().market, bars.start[i], book.calendar()));
    sub.indicators.push_back(std::move(indicator));
    return *sub.indicators.back();
}

void BarFeed::close_bar(const QuoteBook& book, std::size_t s, std::size_t index) {
    BarSubscription& sub = subscriptions_[s];
    const KbarColumns& bars = sub.cache->bars();
    for (auto& indicator : sub.indicators)
        indicator->push(bars, index, session_key(sub.entry->history.back().market, bars.start[index],
                                                 book.calendar()));
    sub.delivered = index + 1;
    closed_.push_back({s, index});
}

const BarFeed::OpenSpan& BarFeed::open_span(const SessionCalendar& calendar, ProductType market,
                                            std::int64_t wall_us) {
    const std::int64_t minute = floor_to(wall_us, kMicrosPerMinute);
    for (const OpenSpan& span : spans_)
        if (span.valid && span.market == market && span.revision == calendar.revision() && minute >= span.from &&
            minute <= span.end - kMicrosPerMinute)
            return span;
    OpenSpan& span = spans_[next_span_];
    next_span_ = (next_span_ + 1) % std::size(spans_);
    span.market = market;
    span.revision = calendar.revision();
    span.from = minute;
    span.end = session_end_after(calendar, market, wall_us);
    span.next = next_open_minute(calendar, market, span.end);
    span.valid = true;
    return span;
}

// The newest bar closes at its session's end unless the next session opens into the same bar.
void BarFeed::arm(const QuoteBook& book, BarSubscription& sub) {
    const KbarColumns& bars = sub.cache->bars();
    sub.due = INT64_MAX;
    if (sub.delivered >= bars.size()) return;
    const ProductType market = sub.entry->history.back().market;
    std::int64_t at = std::max(bars.close_dt.back(), sub.entry->history.back().dt_us);
    for (int i = 0; i < kLongestBarSessions; ++i) {
        const OpenSpan& span = open_span(book.calendar(), market, at);
        const std::int64_t end = span.end, next = span.next;
        if (next == INT64_MAX || sub.rule.bucket_start(market, next, book.calendar()) != bars.start.back()) {
            sub.due = end;
            break;
        }
        at = next;
    }
    next_due_ = std::min(next_due_, sub.due);
}

void BarFeed::refold(const QuoteBook& book, std::size_t s) {
    BarSubscription& sub = subscriptions_[s];
    if (sub.entry->history.empty()) return;
    const std::size_t before = sub.cache->bars().size();
    sub.entry->update(*sub.cache, book.calendar());
    const std::size_t n = sub.cache->bars().size();
    for (std::size_t i = sub.delivered; i + 1 < n; ++i) close_bar(book, s, i);
    if (n != before || sub.due == 0) arm(book, sub);
}

void BarFeed::on_tick(const QuoteBook& book, const CodeTicks& entry, std::int64_t dt_us) {
    if (dt_us >= next_due_) {
        next_due_ = INT64_MAX;
        for (std::size_t s = 0; s < subscriptions_.size(); ++s) {
            BarSubscription& sub = subscriptions_[s];
            const std::size_t n = sub.cache->bars().size();
            if (dt_us >= sub.due && sub.delivered < n) {
                close_bar(book, s, n - 1);
                sub.due = INT64_MAX;
            }
            next_due_ = std::min(next_due_, sub.due);
        }
    }
    const auto it = by_code_.find(&entry);
    if (it == by_code_.end()) return;
    for (std::size_t s : it->second) refold(book, s);
}

void BarFeed::finish(const QuoteBook& book) {
    for (std::size_t s = 0; s < subscriptions_.size(); ++s) {
        BarSubscription& sub = subscriptions_[s];
        if (!sub.entry->history.empty()) sub.entry->update(*sub.cache, book.calendar());
        for (std::size_t i = sub.delivered; i < sub.cache->bars().size(); ++i) close_bar(book, s, i);
        sub.due = INT64_MAX;
    }
    next_due_ = INT64_MAX;
}

std::vector<ClosedBar> BarFeed::take_closed() {
    std::vector<ClosedBar> out;
    out.swap(closed_);
    return out;
}

void BarFeed::clear() {
    subscriptions_.clear();
    by_code_.clear();
    closed_.clear();
    next_due_ = INT64_MAX;
    for (OpenSpan& span : spans_) span.valid = false;
}

}  // namespace vkb
