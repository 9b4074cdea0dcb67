#include "vkb/kbar_cache.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace vkb {

bool KbarColumns::fold(std::int64_t bucket, const BarPiece& piece) {
    const std::size_t n = size();
    if (n == 0 || bucket > start.back()) {
        insert_bar(n, bucket, piece);
        return false;
    }
    if (bucket == start.back()) {
        merge_into(n - 1, piece);
        return false;
    }
    const auto it = std::lower_bound(start.begin(), start.end(), bucket);
    const auto i = static_cast<std::size_t>(it - start.begin());
    if (*it == bucket)
        merge_into(i, piece);
    else
        insert_bar(i, bucket, piece);
    return true;
}

void KbarColumns::merge_into(std::size_t i, const BarPiece& piece) {
    if (piece.open_dt < open_dt[i]) {
        open.at(i) = piece.open;
        open_dt.at(i) = piece.open_dt;
    }
    if (piece.close_dt >= close_dt[i]) {
        close.at(i) = piece.close;
        close_dt.at(i) = piece.close_dt;
    }
    high.at(i) = std::max(high[i], piece.high);
    low.at(i) = std::min(low[i], piece.low);
    volume.at(i) += piece.volume;
}

void KbarColumns::insert_bar(std::size_t i, std::int64_t bucket, const BarPiece& piece) {
    start.insert(i, bucket);
    open.insert(i, piece.open);
    high.insert(i, piece.high);
    low.insert(i, piece.low);
    close.insert(i, piece.close);
    volume.insert(i, piece.volume);
    open_dt.insert(i, piece.open_dt);
    close_dt.insert(i, piece.close_dt);
}

void BarPieces::update(std::span<const QuoteTick> ticks, std::size_t first) {
    if (consumed_ < first) throw std::logic_error("bar pieces: ticks were dropped before they were folded");
    for (std::size_t i = consumed_ - first; i < ticks.size(); ++i) {
        const QuoteTick& tick = ticks[i];
        if (tick.is_simulate) continue;
        pieces_.fold(piece_start(tick.market, tick.dt_us), BarPiece::of(tick));
    }
    consumed_ = first + ticks.size();
}

void KbarCache::update(std::span<const QuoteTick> ticks, std::size_t first, const SessionCalendar& calendar) {
    if (!caught_up_)
        threshold_ = built_ && bars_.size() != 0 ? bars_.start.back() : std::numeric_limits<std::int64_t>::min();
    fold_from(ticks, first, calendar);
    caught_up_ = false;
    built_ = true;
}

void KbarCache::catch_up(std::span<const QuoteTick> ticks, std::size_t first, const SessionCalendar& calendar) {
    if (!caught_up_)
        threshold_ = built_ && bars_.size() != 0 ? bars_.start.back() : std::numeric_limits<std::int64_t>::min();
    caught_up_ = true;
    fold_from(ticks, first, calendar);
}

void KbarCache::fold_from(std::span<const QuoteTick> ticks, std::size_t first, const SessionCalendar& calendar) {
    if (consumed_ < first) throw std::logic_error("k-bar cache: ticks were dropped before they were folded");
    for (std::size_t i = consumed_ - first; i < ticks.size(); ++i) {
        const QuoteTick& tick = ticks[i];
        if (tick.is_simulate) continue;
        const std::int64_t bucket = rule_.bucket_start(tick.market, tick.dt_us, calendar);
        if (bucket < threshold_) continue;
        fold(bucket, BarPiece::of(tick));
    }
    consumed_ = first + ticks.size();
}

void KbarCache::seed(const BarPieces& pieces, ProductType market, const SessionCalendar& calendar) {
    const KbarColumns& from = pieces.pieces();
    for (std::size_t i = 0; i < from.size(); ++i)
        fold(rule_.bucket_start(market, from.start[i], calendar), from.piece(i));
    consumed_ = pieces.consumed();
    built_ = true;
    caught_up_ = false;
}

void KbarCache::fold(std::int64_t bucket, const BarPiece& piece) {
    ++version_;
    if (bars_.fold(bucket, piece)) ++rewrite_version_;
}

}  // namespace vkb
