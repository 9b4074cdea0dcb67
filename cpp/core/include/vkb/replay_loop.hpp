#pragma once
// The per-tick bookkeeping of a replay: each code's latest tick, its exchange date and trading date,
// its daily band and prints in the order matcher, the working orders meeting the tick, the equity's
// minute samples and the progress reports. Whatever needs the caller's world (quotes, hooks, the roll,
// the equity recorder) is asked of a ReplayListener, in the order the loop decides.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/product_type.hpp"
#include "vkb/order_matcher.hpp"
#include "vkb/tick_batch.hpp"

namespace vkb {

struct TickValues {
    double timestamp = 0.0, close = 0.0;
    double bid_price = 0.0, ask_price = 0.0;  // NaN when the tick carries no quote
    std::int64_t bid_volume = 0, ask_volume = 0;  // 0 where the tick carries no size
    std::int64_t qty = 0, tick_type = 0;
    bool is_simulate = false;

    // A quote on at least one side: the order book then knows the tick's bid / ask.
    bool has_quote() const { return carries_quote(bid_price, ask_price); }
};

struct LoopTick {
    std::string_view code, market;
    TickValues values;
};

// A code the loop has seen, with its latest tick.
struct LoopCode {
    std::string code, market;
    std::optional<ProductType> market_type;  // market parsed (none: the quotes refuse it)
    TickValues tick;
    PrintStats* prints = nullptr;  // the matcher's count of the code's prints
    std::int64_t day = 0;          // exchange date, in days since 1970-01-01
    std::int64_t night_day = 0;    // day of the latest night opening: changes with each futures trading date
    bool sets_reference = false;   // the last tick was of a session that sets the daily band's reference
};

// Codes are told by their index: the number of codes seen before them.
class ReplayListener {
public:
    virtual ~ReplayListener() = default;
    virtual void code_added(std::size_t code) = 0;
    // The code's latest tick is about to be replaced; with `keep_previous` the roll will want it.
    virtual void replacing(std::size_t code, bool keep_previous) = 0;
    // The tick into the quotes; returns the bars it closed.
    virtual std::size_t feed_quotes(std::size_t code) = 0;
    // The minute before `timestamp` ended; returns the time of the next sample.
    virtual double sample_minute(double timestamp) = 0;
    // Whether the roll holds a contract month of the code.
    virtual bool roll_holds(std::size_t code) = 0;
    // The code's first tick of what may be a new trading date, before the orders or the strategy see it.
    virtual void roll(std::size_t code) = 0;
    virtual void matched(std::size_t code, const std::vector<MatchEvent>& events) = 0;
    virtual void bars_closed(std::size_t code) = 0;
    virtual void on_tick(std::size_t code) = 0;
    virtual void progress(std::size_t handled) = 0;
};

struct ReplayLoopOptions {
    bool samples_equity = false, watches_roll = false, bar_events = false, calls_on_tick = false,
         reports_progress = false;
    std::size_t progress_every = 4096;  // ticks between looks at the clock for a progress report
    double progress_interval = 0.1;  // seconds between progress reports at least
    int utc_offset_hours = 8;
};

class ReplayLoop {
public:
    // Throws std::invalid_argument for a progress_every of 0.
    ReplayLoop(OrderMatcher& matcher, ReplayListener& listener, const ReplayLoopOptions& options);

    void step(const LoopTick& tick);

    const std::vector<LoopCode>& codes() const { return codes_; }
    // Codes whose latest tick changed since clear_changed, in the order they first changed.
    const std::vector<std::size_t>& changed() const { return changed_; }
    void clear_changed() { changed_.clear(); }
    std::size_t handled() const { return handled_; }
    const std::optional<double>& last_stamp() const { return last_stamp_; }

private:
    std::size_t index_of(std::string_view code);
    void add(const LoopTick& tick);
    void take(std::size_t index, const LoopTick& tick, std::int64_t day, std::int64_t night_day);
    bool sets_band_reference(const LoopCode& code, double timestamp) const;
    void observe_band(const LoopCode& code);
    void match(std::size_t index);

    OrderMatcher& matcher_;
    ReplayListener& listener_;
    ReplayLoopOptions options_;
    std::vector<LoopCode> codes_;
    std::vector<std::size_t> changed_;
    std::size_t last_index_ = 0;
    std::size_t handled_ = 0;
    double next_sample_;
    std::optional<double> last_stamp_;
    std::chrono::steady_clock::time_point last_shown_;
};

}  // namespace vkb
