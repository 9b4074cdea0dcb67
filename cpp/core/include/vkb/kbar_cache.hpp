#pragma once
// K-bars of one code at one bar length, kept up to date from the code's tick history.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vkb/bar_rule.hpp"
#include "vkb/quote_tick.hpp"

namespace vkb {

struct KbarColumns {
    std::vector<std::int64_t> start;
    std::vector<double> open, high, low, close;
    std::vector<std::int64_t> volume;
    // Times of the ticks that set open and close, so out-of-order ticks land as a sort by time would.
    std::vector<std::int64_t> open_dt, close_dt;

    std::size_t size() const { return start.size(); }
};

class KbarCache {
public:
    explicit KbarCache(BarRule rule) : rule_(rule) {}

    // Folds the history ticks this cache has not seen yet. Simulated ticks never count. The first
    // update takes every tick; later ones drop ticks whose bar starts before the newest bar
    // (that bar alone may still be open).
    void update(std::span<const QuoteTick> history, const SessionCalendar& calendar);

    const KbarColumns& bars() const { return bars_; }
    std::size_t consumed() const { return consumed_; }
    // Bumped at every change of the bars; rewrite_version only when a bar that was not the newest
    // changed or a bar was inserted before it (appending a bar rewrites nothing).
    std::uint64_t version() const { return version_; }
    std::uint64_t rewrite_version() const { return rewrite_version_; }

private:
    void fold(std::int64_t bucket, const QuoteTick& tick);
    void merge_into(std::size_t i, const QuoteTick& tick);
    void insert_bar(std::size_t i, std::int64_t bucket, const QuoteTick& tick);

    BarRule rule_;
    KbarColumns bars_;
    std::size_t consumed_ = 0;
    bool built_ = false;
    std::uint64_t version_ = 0;
    std::uint64_t rewrite_version_ = 0;
};

}  // namespace vkb
