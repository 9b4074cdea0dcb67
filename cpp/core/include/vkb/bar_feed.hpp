#pragma once
// Bar events: which subscribed k-bars have closed since the last tick.
//
// A bar closes when a tick of its code opens a later bar, when a tick of any code is stamped at or
// after the end of the bar's session (the minute after the session's first closed minute: 13:31
// for stocks, 13:46 and 05:01 for futures) and the next session opens a different bar, and at the
// end of the replay. Bars made of virtual ticks are made when the code's next tick arrives and
// close with it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "vkb/indicators.hpp"
#include "vkb/quote_book.hpp"

namespace vkb {

struct BarSubscription {
    CodeTicks* entry;
    KbarCache* cache;
    BarRule rule;
    std::size_t delivered = 0;  // bars [0, delivered) have closed and been reported
    std::int64_t due = 0;       // the newest bar closes at a tick stamped at or after this
    std::vector<std::unique_ptr<Indicator>> indicators;
};

struct ClosedBar {
    std::size_t subscription;
    std::size_t index;
};

// The wall time from which a tick lies past the session of a tick at wall_us.
std::int64_t session_end_after(const SessionCalendar& calendar, ProductType market, std::int64_t wall_us);

class BarFeed {
public:
    // The same (code, rule) twice gives the same subscription.
    std::size_t subscribe(QuoteBook& book, CodeTicks& entry, BarRule rule);
    Indicator& add_indicator(const QuoteBook& book, std::size_t subscription, IndicatorKind kind, std::int64_t length,
                             double width);

    // After book.add_tick for `entry`: records the bars that closed, in time order of closing.
    void on_tick(const QuoteBook& book, const CodeTicks& entry, std::int64_t dt_us);
    // End of the replay: every bar still open closes.
    void finish(const QuoteBook& book);

    bool empty() const { return subscriptions_.empty(); }
    const BarSubscription& subscription(std::size_t i) const { return subscriptions_[i]; }
    std::vector<ClosedBar> take_closed();
    std::size_t closed_count() const { return closed_.size(); }
    void clear();

private:
    // An open stretch of minutes of one market: a tick at any minute in [from, end - 1 minute] has
    // its session end at `end`, and `next` is the first open minute after it. Arming a bar needs
    // this once per new bar; walking the minutes each time would cost a calendar look per minute.
    struct OpenSpan {
        ProductType market = ProductType::Stock;
        std::uint64_t revision = 0;
        std::int64_t from = 0, end = 0, next = 0;
        bool valid = false;
    };
    const OpenSpan& open_span(const SessionCalendar& calendar, ProductType market, std::int64_t wall_us);

    void close_bar(const QuoteBook& book, std::size_t s, std::size_t index);
    void arm(const QuoteBook& book, BarSubscription& sub);
    void refold(const QuoteBook& book, std::size_t s);

    std::vector<BarSubscription> subscriptions_;
    std::unordered_map<const CodeTicks*, std::vector<std::size_t>> by_code_;
    std::vector<ClosedBar> closed_;
    std::int64_t next_due_ = INT64_MAX;
    OpenSpan spans_[4];
    std::size_t next_span_ = 0;
};

}  // namespace vkb
