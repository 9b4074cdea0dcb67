#include "vkb/kbar_cache.hpp"

#include <algorithm>
#include <limits>

namespace vkb {

void KbarCache::update(std::span<const QuoteTick> history, const SessionCalendar& calendar) {
    const std::int64_t threshold =
        built_ && bars_.size() != 0 ? bars_.start.back() : std::numeric_limits<std::int64_t>::min();
    for (std::size_t i = consumed_; i < history.size(); ++i) {
        const QuoteTick& tick = history[i];
        if (tick.is_simulate) continue;
        const std::int64_t bucket = rule_.bucket_start(tick.market, tick.dt_us, calendar);
        if (bucket < threshold) continue;
        fold(bucket, tick);
    }
    consumed_ = history.size();
    built_ = true;
}

void KbarCache::fold(std::int64_t bucket, const QuoteTick& tick) {
    const std::size_t n = bars_.size();
    ++version_;
    if (n == 0 || bucket > bars_.start.back()) {
        insert_bar(n, bucket, tick);
        return;
    }
    if (bucket == bars_.start.back()) {
        merge_into(n - 1, tick);
        return;
    }
    ++rewrite_version_;
    const auto it = std::lower_bound(bars_.start.begin(), bars_.start.end(), bucket);
    const auto i = static_cast<std::size_t>(it - bars_.start.begin());
    if (*it == bucket)
        merge_into(i, tick);
    else
        insert_bar(i, bucket, tick);
}

void KbarCache::merge_into(std::size_t i, const QuoteTick& tick) {
    if (tick.dt_us < bars_.open_dt[i]) {
        bars_.open[i] = tick.close;
        bars_.open_dt[i] = tick.dt_us;
    }
    if (tick.dt_us >= bars_.close_dt[i]) {
        bars_.close[i] = tick.close;
        bars_.close_dt[i] = tick.dt_us;
    }
    bars_.high[i] = std::max(bars_.high[i], tick.close);
    bars_.low[i] = std::min(bars_.low[i], tick.close);
    bars_.volume[i] += tick.qty;
}

void KbarCache::insert_bar(std::size_t i, std::int64_t bucket, const QuoteTick& tick) {
    const auto at = [i](auto& column) { return column.begin() + static_cast<std::ptrdiff_t>(i); };
    bars_.start.insert(at(bars_.start), bucket);
    bars_.open.insert(at(bars_.open), tick.close);
    bars_.high.insert(at(bars_.high), tick.close);
    bars_.low.insert(at(bars_.low), tick.close);
    bars_.close.insert(at(bars_.close), tick.close);
    bars_.volume.insert(at(bars_.volume), tick.qty);
    bars_.open_dt.insert(at(bars_.open_dt), tick.dt_us);
    bars_.close_dt.insert(at(bars_.close_dt), tick.dt_us);
}

}  // namespace vkb
