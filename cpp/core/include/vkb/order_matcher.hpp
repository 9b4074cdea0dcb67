#pragma once
// Working orders matched against the replayed trades of their code: market, limit, stop, stop-limit and
// trailing stops, good for their session or until cancelled. The matcher decides when, at which price and
// for how much an order fills, expires or is cancelled; the account (funding, booking, records, placing a
// bracket's exits) acts on its events.
//
// Rules, per trade of the order's code:
// - A good-for-session order still working after its session's end expires at that end.
// - An order sees no trade before its session starts, nor before it reaches the book (the latency after it
//   was placed); a cancel takes effect from its own arrival, and the order can fill until then.
// - A limit buy fills at a trade below its limit (at or below it with `touch`): at that trade's price when it
//   is the first trade the order meets (it was marketable on arrival), at its limit once it has rested, however
//   far the tape trades through it; a sell mirrors it. With `through` a print at the limit does not fill: the
//   tape must trade beyond it, and a limit whose first trade is at its limit was not marketable on arrival: it
//   rests. With `queue` (whichever of touch or through is set) a rested limit fills at its price only once the
//   volume printed at that price since it arrived exceeds the volume ahead of it, or when the tape trades
//   through it. The volume ahead is the size quoted at the order's price on its side when it was placed (a
//   buy at the best bid queues behind the bid size), else kQueueShareOfAveragePrint of the code's average
//   print.
// - A stop triggers on a trade at or through it and then fills as a market order at the next trade; a
//   stop-limit becomes a limit from the next trade on.
// - A trailing stop follows the best trade since placement (the highest for a sell, the lowest for a buy)
//   at its distance, snapped onto the price grid away from the market, and never moves back.
// - A market order fills at the trade's price, or with quote fills at the ask (buy) / bid (sell) when the
//   tick carries that side.
// - With `partial`, an order allowed partial fills takes at most the trade's printed volume (beyond the queue
//   ahead of it), the remainder working on.
// - Orders linked one-cancels-the-other (a bracket's exits): when one fills, the others leave the book on
//   the same trade, told right after the fill.
// - The daily band of each stock follows its trades (the account refuses a limit outside it).
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vkb/contract_grid.hpp"
#include "vkb/daily_band.hpp"

namespace vkb {

enum class OrderKind { Market, Limit, Stop, StopLimit };

// "Market", "Limit", "Stop" or "StopLimit"; none for another name.
std::optional<OrderKind> parse_order_kind(std::string_view name);

// Without a quote size, the volume ahead of a new resting limit is this many average prints of its code.
inline constexpr double kQueueShareOfAveragePrint = 1.0;

struct Trail {
    double distance = 0.0;  // points, or a fraction of the best trade
    bool fraction = false;
};

// The prints of a code so far, for the queue estimate.
struct PrintStats {
    double volume = 0.0;
    std::int64_t prints = 0;

    void count(std::int64_t trade_volume) {
        volume += static_cast<double>(trade_volume);
        ++prints;
    }
};

// The defaults are the conservative ones: a print at a resting limit does not fill it, whole fills, no latency.
struct FillRules {
    bool through = true;   // a limit fills only on a trade beyond it (false: a touch fills it)
    bool queue = false;    // a rested limit waits for the volume ahead of it
    bool partial = false;  // fills capped by the printed volume
    double latency = 0.0;  // seconds of tape time before an order or a cancel reaches the book
};

struct MatchOrder {
    std::int64_t id = 0;
    bool buy = true;
    OrderKind kind = OrderKind::Market;
    std::int64_t quantity = 1;
    std::int64_t filled = 0;
    bool partial = false;  // may fill in parts (under the `partial` rule)
    double limit = std::numeric_limits<double>::quiet_NaN();
    double stop = std::numeric_limits<double>::quiet_NaN();
    double session_start = 0.0;
    double session_end = 0.0;
    double placed_at = 0.0;
    bool good_till_cancel = false;
    std::optional<Trail> trail;
    double best = std::numeric_limits<double>::quiet_NaN();  // a trailing stop's best trade so far
    bool triggered = false;
    bool rested = false;
    double ahead = 0.0;  // queue volume still ahead of a resting limit
    double cancel_at = std::numeric_limits<double>::infinity();  // when a requested cancel reaches the book
};

// One trade of a code; bid / ask NaN (or not positive) where the tick carries no such side.
struct TradePrint {
    double time = 0.0;
    double price = 0.0;
    double bid = std::numeric_limits<double>::quiet_NaN();
    double ask = std::numeric_limits<double>::quiet_NaN();
    std::int64_t volume = 1;
};

// The best bid / ask and their sizes where an order is placed; NaN prices or sizes not above 0 where missing.
struct BookQuote {
    double bid = std::numeric_limits<double>::quiet_NaN();
    double ask = std::numeric_limits<double>::quiet_NaN();
    double bid_volume = 0.0;
    double ask_volume = 0.0;
};

// The size quoted at a limit's own price on its side (a buy at the bid, a sell at the ask): the volume ahead of
// it in the queue. None for another price, another kind of order or a side without a size.
std::optional<double> quoted_ahead(const MatchOrder& order, const BookQuote& quote);

struct MatchEvent {
    enum class Kind { Fill, Expire, OneCancelled, Cancelled };
    Kind kind = Kind::Fill;
    MatchOrder order;  // as it stood after the event
    double price = 0.0;  // the fill's price
    double time = 0.0;   // the fill's trade, the session end of an expiry, a cancel's arrival
    double limit = std::numeric_limits<double>::quiet_NaN();  // the limit a limit fill is booked within
    std::int64_t by = 0;        // OneCancelled: the order whose fill took this one out
    std::int64_t quantity = 0;  // Fill: how much; the order works on while order.filled < order.quantity
};

// "Fill", "Expire", "OneCancelled" or "Cancelled": the names the account acts on.
const char* event_name(MatchEvent::Kind kind);

// The stop level of a trailing stop behind `best`, on the grid on the far side from the market.
double trailing_stop_level(const ContractGrid& grid, bool buy, double best, const Trail& trail);

class OrderMatcher {
public:
    void set_quote_fills(bool on) { quote_fills_ = on; }
    bool quote_fills() const { return quote_fills_; }
    // Throws std::invalid_argument for a negative or non-finite latency.
    void set_rules(const FillRules& rules);
    const FillRules& rules() const { return rules_; }

    // Orders of a code meet its trades in the order they were added. `quote`: the code's quote when the order
    // was placed, for the queue ahead of it. Throws std::invalid_argument for an id already working, with the
    // message the account shows.
    void add(std::string_view code, MatchOrder order, const ContractGrid& grid, const BookQuote& quote = {});
    // The orders cancel each other when one of them fills. Throws std::invalid_argument for an id not working.
    void link(const std::vector<std::int64_t>& ids);
    // The order leaves the book now; false when it was not working.
    bool remove(std::int64_t id);
    // A cancel sent at `time`: it reaches the book after the latency. False when the order is not working.
    bool request_cancel(std::int64_t id, double time);
    bool has_orders(std::string_view code) const;
    const MatchOrder* find(std::int64_t id) const;
    std::size_t size() const { return where_.size(); }

    // The code's print statistics, to be told of every trade (a reference that stays valid).
    PrintStats& prints(std::string_view code);

    // Every working order of `code` meets the trade; what happened is told in the order the orders were
    // added. Orders added afterwards meet later trades.
    std::vector<MatchEvent> on_trade(std::string_view code, const TradePrint& trade);
    // One order meets the trade (an order filled on the tick it was placed on).
    std::vector<MatchEvent> work(std::int64_t id, const TradePrint& trade);

    // A trade of `code` at `time` (epoch seconds) told to its daily band, on the code's own price grid.
    void observe_band(std::string_view code, ProductType market, double time, double price, int utc_offset_hours);
    DailyBands& bands() { return bands_; }
    const DailyBands& bands() const { return bands_; }

private:
    struct Working {
        MatchOrder order;
        ContractGrid grid;
        std::vector<std::int64_t> one_cancels;
        bool gone = false;  // left the book during the trade being matched
    };
    struct CodeBook {
        std::vector<Working> orders;
    };
    std::optional<MatchEvent> meet(Working& working, const TradePrint& trade) const;
    std::optional<MatchEvent> meet_limit(MatchOrder& order, const TradePrint& trade) const;
    std::int64_t fill_size(const MatchOrder& order, double available) const;
    MatchEvent fill(MatchOrder& order, double price, double time, std::int64_t quantity, double limit) const;
    double market_price(bool buy, const TradePrint& trade) const;
    Working* working(std::int64_t id);
    // Records the order's event; a filled order and its linked orders leave the book.
    void settle(CodeBook& book, Working& working, const MatchEvent& event, std::vector<MatchEvent>& events);
    static void sweep(CodeBook& book);

    std::unordered_map<std::string, CodeBook> books_;
    std::unordered_map<std::int64_t, std::string> where_;
    std::unordered_map<std::string, PrintStats> prints_;
    DailyBands bands_;
    FillRules rules_;
    bool quote_fills_ = false;
};

}  // namespace vkb
