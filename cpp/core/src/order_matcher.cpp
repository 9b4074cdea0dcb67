#include "vkb/order_matcher.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace vkb {

namespace {

bool stop_reached(bool buy, double stop, double price) { return buy ? price >= stop : price <= stop; }

bool limit_reached(bool buy, double limit, double price) { return buy ? price <= limit : price >= limit; }

// What the order is on this trade: a triggered stop is a market order, a triggered stop-limit a limit.
OrderKind works_as(const MatchOrder& order) {
    if (order.kind == OrderKind::Stop) return order.triggered ? OrderKind::Market : OrderKind::Stop;
    if (order.kind == OrderKind::StopLimit) return order.triggered ? OrderKind::Limit : OrderKind::Stop;
    return order.kind;
}

double grid_price(std::int64_t cents) { return static_cast<double>(cents) / 100.0; }

}  // namespace

double trailing_stop_level(const ContractGrid& grid, bool buy, double best, const Trail& trail) {
    const double distance = trail.fraction ? best * trail.distance : trail.distance;
    const double level = buy ? best + distance : best - distance;
    if (grid.on_grid(level)) return level;
    const auto [below, above] = grid.neighbours_cents(level);
    return grid_price(buy ? above : below);
}

void OrderMatcher::add(std::string_view code, const MatchOrder& order, const ContractGrid& grid) {
    if (where_.contains(order.id)) throw std::invalid_argument("order already working: " + std::to_string(order.id));
    std::string key(code);
    books_[key].push_back({order, grid, {}, false});
    where_.emplace(order.id, std::move(key));
}

OrderMatcher::Working* OrderMatcher::working(std::int64_t id) {
    const auto found = where_.find(id);
    if (found == where_.end()) return nullptr;
    for (Working& w : books_[found->second])
        if (w.order.id == id) return &w;
    return nullptr;
}

void OrderMatcher::link(const std::vector<std::int64_t>& ids) {
    std::vector<Working*> linked;
    for (std::int64_t id : ids) {
        Working* w = working(id);
        if (w == nullptr) throw std::invalid_argument("order not working: " + std::to_string(id));
        linked.push_back(w);
    }
    for (Working* w : linked)
        for (std::int64_t id : ids)
            if (id != w->order.id) w->one_cancels.push_back(id);
}

bool OrderMatcher::remove(std::int64_t id) {
    const auto found = where_.find(id);
    if (found == where_.end()) return false;
    auto& book = books_[found->second];
    book.erase(std::find_if(book.begin(), book.end(), [id](const Working& w) { return w.order.id == id; }));
    where_.erase(found);
    return true;
}

bool OrderMatcher::has_orders(std::string_view code) const {
    const auto found = books_.find(std::string(code));
    return found != books_.end() && !found->second.empty();
}

const MatchOrder* OrderMatcher::find(std::int64_t id) const {
    const auto found = where_.find(id);
    if (found == where_.end()) return nullptr;
    for (const Working& w : books_.at(found->second))
        if (w.order.id == id) return &w.order;
    return nullptr;
}

void OrderMatcher::settle(std::vector<Working>& book, Working& working, MatchEvent event,
                          std::vector<MatchEvent>& events) {
    working.gone = true;
    where_.erase(working.order.id);
    events.push_back(event);
    if (event.kind != MatchEvent::Kind::Fill) return;
    for (std::int64_t id : working.one_cancels) {
        const auto other = std::find_if(book.begin(), book.end(),
                                        [id](const Working& w) { return w.order.id == id && !w.gone; });
        if (other == book.end()) continue;
        other->gone = true;
        where_.erase(id);
        events.push_back({MatchEvent::Kind::OneCancelled, other->order, 0.0, event.time,
                          std::numeric_limits<double>::quiet_NaN(), working.order.id});
    }
}

void OrderMatcher::sweep(std::vector<Working>& book) {
    book.erase(std::remove_if(book.begin(), book.end(), [](const Working& w) { return w.gone; }), book.end());
}

std::vector<MatchEvent> OrderMatcher::on_trade(std::string_view code, const TradePrint& trade) {
    std::vector<MatchEvent> events;
    const auto found = books_.find(std::string(code));
    if (found == books_.end()) return events;
    auto& book = found->second;
    // By index: the book's vector stays in place while orders are only marked gone.
    for (std::size_t i = 0; i < book.size(); ++i) {
        if (book[i].gone) continue;
        if (auto event = meet(book[i], trade)) settle(book, book[i], *event, events);
    }
    if (!events.empty()) sweep(book);
    return events;
}

std::vector<MatchEvent> OrderMatcher::work(std::int64_t id, const TradePrint& trade) {
    std::vector<MatchEvent> events;
    Working* w = working(id);
    if (w == nullptr) return events;
    auto& book = books_[where_.at(id)];
    if (auto event = meet(*w, trade)) {
        settle(book, *w, *event, events);
        sweep(book);
    }
    return events;
}

double OrderMatcher::market_price(bool buy, const TradePrint& trade) const {
    if (quote_fills_) {
        const double quoted = buy ? trade.ask : trade.bid;
        if (quoted > 0.0 && std::isfinite(quoted)) return quoted;
    }
    return trade.price;
}

std::optional<MatchEvent> OrderMatcher::meet(Working& working, const TradePrint& trade) const {
    MatchOrder& order = working.order;
    if (!order.good_till_cancel && trade.time > order.session_end)
        return MatchEvent{MatchEvent::Kind::Expire, order, 0.0, order.session_end,
                          std::numeric_limits<double>::quiet_NaN(), 0};
    if (trade.time < order.session_start) return std::nullopt;
    const double price = trade.price;
    switch (works_as(order)) {
        case OrderKind::Stop:
            if (order.trail) {
                order.best = order.buy ? std::min(order.best, price) : std::max(order.best, price);
                const double level = trailing_stop_level(working.grid, order.buy, order.best, *order.trail);
                order.stop = order.buy ? std::min(order.stop, level) : std::max(order.stop, level);
            }
            order.triggered = stop_reached(order.buy, order.stop, price);
            return std::nullopt;
        case OrderKind::Limit: {
            if (!limit_reached(order.buy, order.limit, price)) {
                order.rested = true;
                return std::nullopt;
            }
            // A rested order is first in line at its own price, so a trade through it fills it at its limit.
            const double fill = order.rested ? order.limit : price;
            return MatchEvent{MatchEvent::Kind::Fill, order, fill, trade.time, order.limit, 0};
        }
        default:
            return MatchEvent{MatchEvent::Kind::Fill, order, market_price(order.buy, trade), trade.time,
                              std::numeric_limits<double>::quiet_NaN(), 0};
    }
}

}  // namespace vkb
