#pragma once
// Working orders matched against the replayed trades of their code: market, limit, stop, stop-limit and
// trailing stops, good for their session or until cancelled. The matcher decides when and at which price
// an order fills or expires; the account (funding, booking, records, brackets) acts on its events.
//
// Rules, per trade of the order's code:
// - A good-for-session order still working after its session's end expires at that end.
// - Before its session starts an order does not see the code's trades.
// - A limit buy fills at a trade at or below its limit: at that trade's price when it is the first trade the
//   order meets (it was marketable on arrival), at its limit once it has rested, however far the tape trades
//   through it; a sell mirrors it. A stop triggers on a trade at or through it and then fills as a market
//   order at the next trade; a stop-limit becomes a limit from the next trade on.
// - A trailing stop follows the best trade since placement (the highest for a sell, the lowest for a buy)
//   at its distance, snapped onto the price grid away from the market, and never moves back.
// - A market order fills at the trade's price, or with quote fills at the ask (buy) / bid (sell) when the
//   tick carries that side.
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

struct Trail {
    double distance = 0.0;  // points, or a fraction of the best trade
    bool fraction = false;
};

struct MatchOrder {
    std::int64_t id = 0;
    bool buy = true;
    OrderKind kind = OrderKind::Market;
    double limit = std::numeric_limits<double>::quiet_NaN();
    double stop = std::numeric_limits<double>::quiet_NaN();
    double session_start = 0.0;
    double session_end = 0.0;
    bool good_till_cancel = false;
    std::optional<Trail> trail;
    double best = std::numeric_limits<double>::quiet_NaN();  // a trailing stop's best trade so far
    bool triggered = false;
    bool rested = false;
};

// One trade of a code; bid / ask NaN (or not positive) where the tick carries no such side.
struct TradePrint {
    double time = 0.0;
    double price = 0.0;
    double bid = std::numeric_limits<double>::quiet_NaN();
    double ask = std::numeric_limits<double>::quiet_NaN();
};

struct MatchEvent {
    enum class Kind { Fill, Expire, OneCancelled };
    Kind kind = Kind::Fill;
    MatchOrder order;  // as it stood when it left the book
    double price = 0.0;  // the fill's price
    double time = 0.0;   // the fill's trade, or the session end an expiry is dated at
    double limit = std::numeric_limits<double>::quiet_NaN();  // the limit a limit fill is booked within
    std::int64_t by = 0;  // OneCancelled: the order whose fill took this one out
};

// The stop level of a trailing stop behind `best`, on the grid on the far side from the market.
double trailing_stop_level(const ContractGrid& grid, bool buy, double best, const Trail& trail);

class OrderMatcher {
public:
    void set_quote_fills(bool on) { quote_fills_ = on; }
    bool quote_fills() const { return quote_fills_; }

    // Orders of a code meet its trades in the order they were added. Throws std::invalid_argument for an
    // id already working.
    void add(std::string_view code, const MatchOrder& order, const ContractGrid& grid);
    // The orders cancel each other when one of them fills. Throws std::invalid_argument for an id not working.
    void link(const std::vector<std::int64_t>& ids);
    // The order leaves the book; false when it was not working.
    bool remove(std::int64_t id);
    bool has_orders(std::string_view code) const;
    const MatchOrder* find(std::int64_t id) const;
    std::size_t size() const { return where_.size(); }

    // Every working order of `code` meets the trade; the orders that fill or expire leave the book and are
    // told in the order they were added. Orders added afterwards meet only later trades.
    std::vector<MatchEvent> on_trade(std::string_view code, const TradePrint& trade);
    // One order meets the trade (an order filled on the tick it was placed on).
    std::vector<MatchEvent> work(std::int64_t id, const TradePrint& trade);

    DailyBands& bands() { return bands_; }
    const DailyBands& bands() const { return bands_; }

private:
    struct Working {
        MatchOrder order;
        ContractGrid grid;
        std::vector<std::int64_t> one_cancels;
        bool gone = false;  // left the book during the trade being matched
    };
    std::optional<MatchEvent> meet(Working& working, const TradePrint& trade) const;
    Working* working(std::int64_t id);
    // Records the order's event, and takes its linked orders out after a fill.
    void settle(std::vector<Working>& book, Working& working, MatchEvent event, std::vector<MatchEvent>& events);
    void sweep(std::vector<Working>& book);
    double market_price(bool buy, const TradePrint& trade) const;

    std::unordered_map<std::string, std::vector<Working>> books_;
    std::unordered_map<std::int64_t, std::string> where_;
    DailyBands bands_;
    bool quote_fills_ = false;
};

}  // namespace vkb
