#pragma once
// Tick buffers of every code with their k-bar caches, and the virtual-tick fill over gaps.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vkb/kbar_cache.hpp"
#include "vkb/quote_tick.hpp"
#include "vkb/tick_history.hpp"
#include "vkb/session_calendar.hpp"

namespace vkb {

// Where a trading date's ticks begin in a code's history (counted over every tick pushed).
struct DayStart {
    std::int64_t date;
    std::size_t index;
};

struct CodeTicks;

// Ticks [begin, end) of one code, counted over every tick pushed; all of them still held.
struct TickSpan {
    const CodeTicks* entry = nullptr;
    std::size_t begin = 0, end = 0;
    std::size_t size() const { return end - begin; }
};

struct CodeTicks {
    std::string code;
    // The code's ticks in arrival order, from history.first() on; ticks [history.first(), drained)
    // have been drained, the rest not yet.
    TickHistory history;
    std::size_t drained = 0;
    std::map<std::pair<int, std::int64_t>, KbarCache> caches;  // (unit, freq)
    // Every tick folded by stretches, once ticks are dropped; new caches start from it.
    BarPieces pieces;
    // The trading dates whose ticks are held, oldest first (kept only under a tick window).
    std::vector<DayStart> days;

    TickSpan fresh_ticks() const { return {this, drained, history.total()}; }
    TickSpan drained_ticks() const { return {this, history.first(), drained}; }
    // The last tick added is always the last of the history: virtual ticks come before it.
    const QuoteTick* last_tick() const { return history.empty() ? nullptr : &history.back(); }
    // Made on first use, from the pieces when ticks have been dropped.
    KbarCache& cache(BarRule rule, const SessionCalendar& calendar);
    // Folds the ticks `cache` has not seen.
    void update(KbarCache& cache, const SessionCalendar& calendar) const {
        cache.update(history, history.first(), calendar);
    }
};

class QuoteBook {
public:
    SessionCalendar& calendar() { return calendar_; }
    const SessionCalendar& calendar() const { return calendar_; }

    CodeTicks& entry(std::string_view code);  // created on first use
    CodeTicks* find(std::string_view code);
    const std::vector<std::unique_ptr<CodeTicks>>& entries() const { return entries_; }

    // Appends the virtual ticks of the open minutes strictly between the last tick's minute and
    // this tick's minute (at the last close, qty 0) that lie on the trading date of either tick,
    // then the tick itself.
    void add_tick(CodeTicks& entry, const QuoteTick& tick);
    void clear();

    // How many trading dates of ticks each code holds: the newest `days` it has ticks of (by the
    // trading date of its newest tick); 0 holds every tick. Bars are never lost to it: every k-bar
    // cache folds the ticks before they go, and a cache made later starts from the code's pieces.
    void set_tick_window(std::size_t days) { tick_window_ = days; }
    std::size_t tick_window() const { return tick_window_; }
    // Drops the ticks of `entry` older than the window (after its newest tick went to the bar feed).
    void trim(CodeTicks& entry) const;

private:
    // Looked up by string_view without building a std::string: find runs once per replayed tick.
    struct CodeHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view code) const { return std::hash<std::string_view>{}(code); }
    };
    SessionCalendar calendar_;
    std::unordered_map<std::string, std::size_t, CodeHash, std::equal_to<>> index_;
    std::vector<std::unique_ptr<CodeTicks>> entries_;
    std::size_t tick_window_ = 0;
};

// Where ticks go as a table: one array per field, as many rows as ticks; the market as 0 (Stock)
// or 1 (Future).
struct TickColumns {
    std::int64_t* dt_us;
    std::int8_t* market;
    double* close;
    std::int64_t* qty;
    std::int8_t* tick_type;
    bool* is_simulate;
    bool* is_virtual;
};

// Writes the ticks in time order (equal times in arrival order) when `by_time`, else in arrival order.
void write_tick_columns(TickSpan ticks, bool by_time, const TickColumns& out);

}  // namespace vkb
