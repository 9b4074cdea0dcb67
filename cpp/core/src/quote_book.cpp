#include "vkb/quote_book.hpp"

#include <algorithm>
#include <numeric>

namespace vkb {

KbarCache& CodeTicks::cache(BarRule rule, const SessionCalendar& calendar) {
    const auto key = std::make_pair(static_cast<int>(rule.unit), rule.freq);
    auto it = caches.find(key);
    if (it != caches.end()) return it->second;
    it = caches.emplace(key, KbarCache(rule)).first;
    if (history.first() != 0) {
        pieces.update(history, history.first());
        it->second.seed(pieces, history.back().market, calendar);
    }
    return it->second;
}

CodeTicks& QuoteBook::entry(std::string_view code) {
    if (CodeTicks* found = find(code)) return *found;
    index_.emplace(std::string(code), entries_.size());
    entries_.push_back(std::make_unique<CodeTicks>());
    entries_.back()->code = std::string(code);
    return *entries_.back();
}

CodeTicks* QuoteBook::find(std::string_view code) {
    const auto it = index_.find(code);
    return it == index_.end() ? nullptr : entries_[it->second].get();
}

namespace {

void mark_day(CodeTicks& entry, std::int64_t date) {
    if (entry.days.empty() || date > entry.days.back().date) entry.days.push_back({date, entry.history.total()});
}

}  // namespace

void QuoteBook::add_tick(CodeTicks& entry, const QuoteTick& tick) {
    const bool windowed = tick_window_ != 0;
    if (const QuoteTick* last = entry.last_tick()) {
        const std::int64_t last_minute = floor_to(last->dt_us, kMicrosPerMinute);
        const std::int64_t this_minute = floor_to(tick.dt_us, kMicrosPerMinute);
        const double close = last->close;
        // A trading date between the two ticks had no tick of the code (no data, or a day that failed
        // to load): it stays empty rather than being made up at the last close.
        const std::int64_t last_date = calendar_.trading_date(tick.market, last->dt_us);
        const std::int64_t this_date = calendar_.trading_date(tick.market, tick.dt_us);
        for (std::int64_t m = last_minute + kMicrosPerMinute; m < this_minute; m += kMicrosPerMinute) {
            if (!calendar_.is_open_minute(tick.market, m)) continue;
            const std::int64_t date = calendar_.trading_date(tick.market, m);
            if (date != last_date && date != this_date) continue;
            QuoteTick filler;
            filler.dt_us = m;
            filler.close = close;
            filler.market = tick.market;
            filler.is_virtual = true;
            if (windowed) mark_day(entry, date);
            entry.history.push_back(filler);
        }
        if (windowed) mark_day(entry, this_date);
    } else if (windowed) {
        mark_day(entry, calendar_.trading_date(tick.market, tick.dt_us));
    }
    entry.history.push_back(tick);
}

void QuoteBook::trim(CodeTicks& entry) const {
    if (tick_window_ == 0 || entry.days.size() <= tick_window_) return;
    const std::size_t keep_from = entry.days[entry.days.size() - tick_window_].index;
    const std::size_t first = entry.history.first();
    entry.pieces.update(entry.history, first);
    for (auto& [key, cache] : entry.caches) cache.catch_up(entry.history, first, calendar_);
    entry.history.drop_front(keep_from - first);
    entry.drained = std::max(entry.drained, keep_from);
    entry.days.erase(entry.days.begin(), entry.days.end() - static_cast<std::ptrdiff_t>(tick_window_));
}

void QuoteBook::clear() {
    index_.clear();
    entries_.clear();
}

void write_tick_columns(TickSpan ticks, bool by_time, const TickColumns& out) {
    const TickHistory& history = ticks.entry->history;
    std::vector<std::size_t> order(ticks.size());
    std::iota(order.begin(), order.end(), ticks.begin - history.first());
    const auto earlier = [&](std::size_t a, std::size_t b) { return history[a].dt_us < history[b].dt_us; };
    if (by_time && !std::is_sorted(order.begin(), order.end(), earlier))
        std::stable_sort(order.begin(), order.end(), earlier);
    for (std::size_t i = 0; i < order.size(); ++i) {
        const QuoteTick& t = history[order[i]];
        out.dt_us[i] = t.dt_us;
        out.market[i] = t.market == ProductType::Stock ? 0 : 1;
        out.close[i] = t.close;
        out.qty[i] = t.qty;
        out.tick_type[i] = t.tick_type;
        out.is_simulate[i] = t.is_simulate;
        out.is_virtual[i] = t.is_virtual;
    }
}

}  // namespace vkb
