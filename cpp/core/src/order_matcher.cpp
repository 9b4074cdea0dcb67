#include "vkb/order_matcher.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "vkb/civil_time.hpp"

namespace vkb {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool stop_reached(bool buy, double stop, double price) { return buy ? price >= stop : price <= stop; }

// What the order is on this trade: a triggered stop is a market order, a triggered stop-limit a limit.
OrderKind works_as(const MatchOrder& order) {
    if (order.kind == OrderKind::Stop) return order.triggered ? OrderKind::Market : OrderKind::Stop;
    if (order.kind == OrderKind::StopLimit) return order.triggered ? OrderKind::Limit : OrderKind::Stop;
    return order.kind;
}

double grid_price(std::int64_t cents) { return static_cast<double>(cents) / 100.0; }

}  // namespace

std::optional<OrderKind> parse_order_kind(std::string_view name) {
    if (name == "Market") return OrderKind::Market;
    if (name == "Limit") return OrderKind::Limit;
    if (name == "Stop") return OrderKind::Stop;
    if (name == "StopLimit") return OrderKind::StopLimit;
    return std::nullopt;
}

const char* event_name(MatchEvent::Kind kind) {
    switch (kind) {
        case MatchEvent::Kind::Fill: return "Fill";
        case MatchEvent::Kind::Expire: return "Expire";
        case MatchEvent::Kind::OneCancelled: return "OneCancelled";
        case MatchEvent::Kind::Cancelled: return "Cancelled";
    }
    return "";
}

double trailing_stop_level(const ContractGrid& grid, bool buy, double best, const Trail& trail) {
    const double distance = trail.fraction ? best * trail.distance : trail.distance;
    const double level = buy ? best + distance : best - distance;
    if (grid.on_grid(level)) return level;
    const auto [below, above] = grid.neighbours_cents(level);
    return grid_price(buy ? above : below);
}

void OrderMatcher::set_rules(const FillRules& rules) {
    if (!(rules.latency >= 0.0) || !std::isfinite(rules.latency))
        throw std::invalid_argument("latency must be a finite number of seconds, not below 0");
    rules_ = rules;
}

std::optional<double> quoted_ahead(const MatchOrder& order, const BookQuote& quote) {
    if (order.kind != OrderKind::Limit) return std::nullopt;
    const double price = order.buy ? quote.bid : quote.ask;
    const double size = order.buy ? quote.bid_volume : quote.ask_volume;
    if (!(price == order.limit) || !(size > 0.0)) return std::nullopt;
    return size;
}

void OrderMatcher::add(std::string_view code, MatchOrder order, const ContractGrid& grid, const BookQuote& quote) {
    if (where_.contains(order.id)) throw std::invalid_argument("委託已在撮合中: " + std::to_string(order.id));
    std::string key(code);
    const PrintStats& seen = prints(key);
    if (const auto quoted = quoted_ahead(order, quote)) {
        order.ahead = *quoted;
    } else if (seen.prints > 0) {
        order.ahead = kQueueShareOfAveragePrint * seen.volume / static_cast<double>(seen.prints);
    }
    books_[key].orders.push_back({order, grid, {}, false});
    where_.emplace(order.id, std::move(key));
}

OrderMatcher::Working* OrderMatcher::working(std::int64_t id) {
    const auto found = where_.find(id);
    if (found == where_.end()) return nullptr;
    for (Working& w : books_[found->second].orders)
        if (w.order.id == id && !w.gone) return &w;
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
    auto& orders = books_[found->second].orders;
    orders.erase(std::find_if(orders.begin(), orders.end(), [id](const Working& w) { return w.order.id == id; }));
    where_.erase(found);
    return true;
}

bool OrderMatcher::request_cancel(std::int64_t id, double time) {
    Working* w = working(id);
    if (w == nullptr) return false;
    w->order.cancel_at = std::min(w->order.cancel_at, time + rules_.latency);
    return true;
}

bool OrderMatcher::has_orders(std::string_view code) const {
    const auto found = books_.find(std::string(code));
    return found != books_.end() && !found->second.orders.empty();
}

const MatchOrder* OrderMatcher::find(std::int64_t id) const {
    const auto found = where_.find(id);
    if (found == where_.end()) return nullptr;
    for (const Working& w : books_.at(found->second).orders)
        if (w.order.id == id) return &w.order;
    return nullptr;
}

PrintStats& OrderMatcher::prints(std::string_view code) {
    const auto found = prints_.find(std::string(code));
    if (found != prints_.end()) return found->second;
    return prints_.emplace(std::string(code), PrintStats{}).first->second;
}

void OrderMatcher::observe_band(std::string_view code, ProductType market, double time, double price,
                                int utc_offset_hours) {
    bands_.observe(code, market, ContractGrid::for_code(code, market), to_wall_micros(time, utc_offset_hours), price);
}

void OrderMatcher::settle(CodeBook& book, Working& working, const MatchEvent& event, std::vector<MatchEvent>& events) {
    events.push_back(event);
    if (event.kind == MatchEvent::Kind::Fill && working.order.filled < working.order.quantity) return;
    working.gone = true;
    where_.erase(working.order.id);
    if (event.kind != MatchEvent::Kind::Fill) return;
    for (std::int64_t id : working.one_cancels) {
        const auto other = std::find_if(book.orders.begin(), book.orders.end(),
                                        [id](const Working& w) { return w.order.id == id && !w.gone; });
        if (other == book.orders.end()) continue;
        other->gone = true;
        where_.erase(id);
        events.push_back({MatchEvent::Kind::OneCancelled, other->order, 0.0, event.time, kNaN, working.order.id, 0});
    }
}

void OrderMatcher::sweep(CodeBook& book) {
    std::erase_if(book.orders, [](const Working& w) { return w.gone; });
}

std::vector<MatchEvent> OrderMatcher::on_trade(std::string_view code, const TradePrint& trade) {
    std::vector<MatchEvent> events;
    CodeBook& book = books_[std::string(code)];
    // By index: the orders stay in place while they are only marked gone.
    for (std::size_t i = 0; i < book.orders.size(); ++i) {
        if (book.orders[i].gone) continue;
        if (auto event = meet(book.orders[i], trade)) settle(book, book.orders[i], *event, events);
    }
    if (!events.empty()) sweep(book);
    return events;
}

std::vector<MatchEvent> OrderMatcher::work(std::int64_t id, const TradePrint& trade) {
    std::vector<MatchEvent> events;
    Working* w = working(id);
    if (w == nullptr) return events;
    CodeBook& book = books_[where_.at(id)];
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

std::int64_t OrderMatcher::fill_size(const MatchOrder& order, double available) const {
    const std::int64_t remaining = order.quantity - order.filled;
    if (!rules_.partial || !order.partial) return remaining;
    return std::min<std::int64_t>(remaining, static_cast<std::int64_t>(std::floor(available)));
}

MatchEvent OrderMatcher::fill(MatchOrder& order, double price, double time, std::int64_t quantity,
                              double limit) const {
    order.filled += quantity;
    return {MatchEvent::Kind::Fill, order, price, time, limit, 0, quantity};
}

std::optional<MatchEvent> OrderMatcher::meet(Working& working, const TradePrint& trade) const {
    MatchOrder& order = working.order;
    if (!order.good_till_cancel && trade.time > order.session_end)
        return MatchEvent{MatchEvent::Kind::Expire, order, 0.0, order.session_end, kNaN, 0, 0};
    if (trade.time >= order.cancel_at)
        return MatchEvent{MatchEvent::Kind::Cancelled, order, 0.0, order.cancel_at, kNaN, 0, 0};
    if (trade.time < order.session_start || trade.time < order.placed_at + rules_.latency) return std::nullopt;
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
        case OrderKind::Limit:
            return meet_limit(order, trade);
        default: {
            const std::int64_t size = fill_size(order, static_cast<double>(trade.volume));
            if (size <= 0) return std::nullopt;
            return fill(order, market_price(order.buy, trade), trade.time, size, kNaN);
        }
    }
}

std::optional<MatchEvent> OrderMatcher::meet_limit(MatchOrder& order, const TradePrint& trade) const {
    const double price = trade.price, limit = order.limit;
    const bool beyond = order.buy ? price < limit : price > limit;
    const bool at = price == limit;
    const auto volume = static_cast<double>(trade.volume);
    if (!order.rested) {
        // The first trade it meets tells where the market stood when it arrived: beyond it (or at it, when a
        // touch fills) the order was marketable and trades at that trade's price; a remainder rests.
        const bool marketable = beyond || (at && !rules_.through && !rules_.queue);
        const std::int64_t size = marketable ? fill_size(order, volume) : 0;
        if (size > 0) {
            MatchEvent event = fill(order, price, trade.time, size, limit);
            order.rested = order.filled < order.quantity;
            return event;
        }
        order.rested = true;
        if (marketable) return std::nullopt;
    }
    // A rested order is first in line at its own price, so a trade through it fills it at its limit.
    if (beyond) {
        const std::int64_t size = fill_size(order, volume);
        if (size <= 0) return std::nullopt;
        return fill(order, limit, trade.time, size, limit);
    }
    if (!at || (rules_.through && !rules_.queue)) return std::nullopt;
    if (!rules_.queue) {
        const std::int64_t size = fill_size(order, volume);
        if (size <= 0) return std::nullopt;
        return fill(order, limit, trade.time, size, limit);
    }
    // The print at its price works off the queue ahead of it first.
    const double past = volume - order.ahead;
    order.ahead = std::max(0.0, order.ahead - volume);
    if (past <= 0.0) return std::nullopt;
    const std::int64_t size = fill_size(order, past);
    if (size <= 0) return std::nullopt;
    return fill(order, limit, trade.time, size, limit);
}

}  // namespace vkb
