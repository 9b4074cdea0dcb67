#pragma once
// Tick buffers of every code with their k-bar caches, and the virtual-tick fill over gaps.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vkb/kbar_cache.hpp"
#include "vkb/quote_tick.hpp"
#include "vkb/tick_history.hpp"
#include "vkb/session_calendar.hpp"

namespace vkb {

struct CodeTicks {
    std::string code;
    // Every tick of the code in arrival order; [0, drained) has been drained, the rest not yet.
    TickHistory history;
    std::size_t drained = 0;
    std::map<std::pair<int, std::int64_t>, KbarCache> caches;  // (unit, freq)

    // The last tick added is always the last of the history: virtual ticks come before it.
    const QuoteTick* last_tick() const { return history.empty() ? nullptr : &history.back(); }
    KbarCache& cache(BarRule rule);
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
    void add_tick(CodeTicks& entry, const QuoteTick& tick) const;
    void clear();

private:
    // Looked up by string_view without building a std::string: find runs once per replayed tick.
    struct CodeHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view code) const { return std::hash<std::string_view>{}(code); }
    };
    SessionCalendar calendar_;
    std::unordered_map<std::string, std::size_t, CodeHash, std::equal_to<>> index_;
    std::vector<std::unique_ptr<CodeTicks>> entries_;
};

// Indices of history[begin, end) in time order, equal times kept in arrival order.
std::vector<std::size_t> time_order(std::span<const QuoteTick> history, std::size_t begin, std::size_t end);

}  // namespace vkb
