#pragma once
// One quote manager's state: the tick buffers, the subscribed bars with their indicators, and the
// rules a tick or an indicator request must meet before it touches them. Every check throws
// std::invalid_argument with the message shown to the user.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vkb/bar_feed.hpp"
#include "vkb/quote_book.hpp"

namespace vkb {

// Ticks are accepted from 1970-01-01 up to 2100-01-01 (epoch seconds), so that the minute walk of
// the virtual-tick fill between two ticks stays bounded.
inline constexpr double kFirstTickTimestamp = 0.0;
inline constexpr double kEndTickTimestamp = 4102444800.0;

bool valid_tick_timestamp(double epoch_seconds);  // finite and in range
bool valid_tick_close(double close);
inline bool valid_tick_qty(std::int64_t qty) { return qty >= 0; }
inline bool valid_tick_type(std::int64_t tick_type) { return tick_type >= -128 && tick_type <= 127; }

// The tick of these values, checked as a recorded tick is.
QuoteTick checked_quote_tick(ProductType market, double epoch_seconds, int utc_offset_hours, double close,
                             std::int64_t qty, std::int64_t tick_type, bool is_simulate);

// What a caller feeding one code again and again keeps of the code's buffer, so the buffer is not
// looked up by name each tick. Valid while `generation` is the desk's (clear changes it).
struct EntryHint {
    CodeTicks* entry = nullptr;
    std::uint64_t generation = 0;
};

class QuoteDesk {
public:
    QuoteBook& book() { return book_; }
    const QuoteBook& book() const { return book_; }
    BarFeed& feed() { return feed_; }

    // The buffer of `code`, through `hint` when it is still valid (and then updated).
    CodeTicks& entry(std::string_view code, EntryHint* hint = nullptr);
    // Adds the tick, reports the bars it closes and drops what the tick window no longer holds.
    // Under a tick window a code's ticks must keep one market: the window counts its trading dates.
    void add_tick(CodeTicks& entry, const QuoteTick& tick);

    // The ticks of `code` not drained yet, drained from now on; and those drained before. Empty for a
    // code without ticks.
    TickSpan drain(std::string_view code);
    TickSpan drained(std::string_view code);
    // The k-bars of `code` under `rule`, brought up to date; nullptr for a code without ticks.
    // `drain` drains the code's ticks, as reading its k-bars as a table does.
    KbarCache* bars(std::string_view code, BarRule rule, bool drain);

    std::size_t subscribe(std::string_view code, BarRule rule) { return feed_.subscribe(book_, book_.entry(code), rule); }
    // The handle of a new indicator on subscription `subscription`.
    std::size_t add_indicator(std::size_t subscription, std::string_view kind, std::int64_t length, double width);
    const Indicator& indicator(std::size_t handle) const;

    // Changes whenever bars' columns move or change length: views of them handed out under one
    // token still are the bars.
    std::uint64_t layout_token(const KbarColumns& bars);

    void clear();

private:
    // Where one k-bar cache's columns lie and how many rows they hold.
    struct ViewKey {
        std::size_t rows = ~std::size_t{0};
        const std::int64_t* start = nullptr;
        const double *open = nullptr, *high = nullptr, *low = nullptr, *close = nullptr;
        const std::int64_t* volume = nullptr;
        bool operator==(const ViewKey&) const = default;
    };
    struct Layout {
        ViewKey key;
        std::uint64_t token = 0;
    };

    CodeTicks& recent_entry(std::string_view code);

    QuoteBook book_;
    BarFeed feed_;
    std::vector<const Indicator*> indicators_;
    // Replays interleave a few codes: the entries of the last ones are found without a hash lookup.
    std::array<CodeTicks*, 4> recent_entries_{};
    std::uint64_t generation_ = 1;  // of the code buffers: changes when they are cleared
    std::unordered_map<const KbarColumns*, Layout> layouts_;
    std::uint64_t last_layout_token_ = 0;
};

}  // namespace vkb
