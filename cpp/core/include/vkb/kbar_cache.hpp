#pragma once
// K-bars of one code at one bar length, kept up to date from the code's tick history.
#include <cstddef>
#include <cstdint>
#include <span>

#include "vkb/bar_rule.hpp"
#include "vkb/quote_tick.hpp"
#include "vkb/shared_column.hpp"

namespace vkb {

// What is folded into a bar: one tick, or a bar of the ticks of a shorter stretch.
struct BarPiece {
    double open, high, low, close;
    std::int64_t volume;
    std::int64_t open_dt, close_dt;

    static BarPiece of(const QuoteTick& tick) {
        return {tick.close, tick.close, tick.close, tick.close, tick.qty, tick.dt_us, tick.dt_us};
    }
};

// Shared columns: numpy views handed to strategies keep the bars they saw.
struct KbarColumns {
    SharedColumn<std::int64_t> start;
    SharedColumn<double> open, high, low, close;
    SharedColumn<std::int64_t> volume;
    // Times of the ticks that set open and close, so out-of-order ticks land as a sort by time would.
    SharedColumn<std::int64_t> open_dt, close_dt;

    std::size_t size() const { return start.size(); }
    BarPiece piece(std::size_t i) const { return {open[i], high[i], low[i], close[i], volume[i], open_dt[i], close_dt[i]}; }

    // Folds a piece into the bar starting at `bucket`, made when missing; whether a bar other than
    // the newest changed or was inserted before it.
    bool fold(std::int64_t bucket, const BarPiece& piece);

private:
    void merge_into(std::size_t i, const BarPiece& piece);
    void insert_bar(std::size_t i, std::int64_t bucket, const BarPiece& piece);
};

// The ticks of one code folded into the stretches of `piece_start`, every tick whenever it arrives:
// any k-bar is rebuilt from these exactly as from the ticks, so the ticks themselves may go.
class BarPieces {
public:
    // Folds the ticks not seen yet; ticks[0] is tick number `first` of the code.
    void update(std::span<const QuoteTick> ticks, std::size_t first);

    const KbarColumns& pieces() const { return pieces_; }
    std::size_t consumed() const { return consumed_; }

private:
    KbarColumns pieces_;
    std::size_t consumed_ = 0;
};

class KbarCache {
public:
    explicit KbarCache(BarRule rule) : rule_(rule) {}

    // Folds the history ticks this cache has not seen yet. Simulated ticks never count. The first
    // update takes every tick; later ones drop ticks whose bar starts before the newest bar
    // (that bar alone may still be open). ticks[0] is tick number `first` of the code; the ticks
    // this cache has not seen must all be there.
    void update(std::span<const QuoteTick> ticks, std::size_t first, const SessionCalendar& calendar);
    void update(std::span<const QuoteTick> history, const SessionCalendar& calendar) { update(history, 0, calendar); }
    // Folds the unseen ticks before they are dropped, as the next update would: the bars stay
    // those the next update gives, whenever it comes.
    void catch_up(std::span<const QuoteTick> ticks, std::size_t first, const SessionCalendar& calendar);
    // The first update made from the code's pieces instead of its ticks (every tick up to `consumed`
    // folded in the pieces); `market` is the code's.
    void seed(const BarPieces& pieces, ProductType market, const SessionCalendar& calendar);

    const KbarColumns& bars() const { return bars_; }
    std::size_t consumed() const { return consumed_; }
    // Bumped at every change of the bars; rewrite_version only when a bar that was not the newest
    // changed or a bar was inserted before it (appending a bar rewrites nothing).
    std::uint64_t version() const { return version_; }
    std::uint64_t rewrite_version() const { return rewrite_version_; }

private:
    void fold_from(std::span<const QuoteTick> ticks, std::size_t first, const SessionCalendar& calendar);
    void fold(std::int64_t bucket, const BarPiece& piece);

    BarRule rule_;
    KbarColumns bars_;
    std::size_t consumed_ = 0;
    bool built_ = false;
    // Ticks older than the newest bar at the last update drop; held from a catch-up to the next update.
    std::int64_t threshold_ = 0;
    bool caught_up_ = false;
    std::uint64_t version_ = 0;
    std::uint64_t rewrite_version_ = 0;
};

}  // namespace vkb
