#include "vkb/replay_loop.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "vkb/civil_time.hpp"
#include "vkb/daily_band.hpp"
#include "vkb/session_calendar.hpp"

namespace vkb {

ReplayLoop::ReplayLoop(OrderMatcher& matcher, ReplayListener& listener, const ReplayLoopOptions& options)
    : matcher_(matcher), listener_(listener), options_(options),
      next_sample_(options.samples_equity ? -INFINITY : INFINITY), last_shown_(std::chrono::steady_clock::now()) {
    if (options.progress_every == 0) throw std::invalid_argument("progress_every 必須是正整數: 0");
}

void ReplayLoop::step(const LoopTick& tick) {
    const double timestamp = tick.values.timestamp;
    // The minute sample takes the closes before this tick.
    if (timestamp >= next_sample_) next_sample_ = listener_.sample_minute(timestamp);
    const std::int64_t day =
        static_cast<std::int64_t>(std::floor((timestamp + options_.utc_offset_hours * 3600.0) / 86400.0));
    const std::size_t index = index_of(tick.code);
    const bool new_code = index == codes_.size();
    if (new_code) add(tick);
    LoopCode& code = codes_[index];
    const bool new_day = new_code || code.day != day;
    // Worked out only while a roll is watched: the loop pays nothing for it otherwise.
    const std::int64_t night_day =
        options_.watches_roll ? night_opening_day(to_wall_micros(timestamp, options_.utc_offset_hours)) : 0;
    const bool roll_due =
        !new_code && options_.watches_roll && code.night_day != night_day && listener_.roll_holds(index);
    // A code's band follows its last trade of a reference-setting session (a stock's day, a futures day
    // session) and the first trade after it.
    const bool sets_reference = sets_band_reference(code, timestamp);
    const bool band_turn = new_day || sets_reference != code.sets_reference;
    if (band_turn && !new_code) observe_band(code);
    listener_.replacing(index, roll_due);
    take(index, tick, day, night_day);
    if (band_turn) observe_band(code);
    code.sets_reference = sets_reference;
    code.prints->count(code.tick.qty);
    const std::size_t closed = listener_.feed_quotes(index);
    if (roll_due) listener_.roll(index);
    if (matcher_.has_orders(code.code)) match(index);
    if (options_.bar_events && closed > 0) listener_.bars_closed(index);
    if (options_.calls_on_tick) listener_.on_tick(index);
    ++handled_;
    last_stamp_ = timestamp;
    if (options_.reports_progress && handled_ % options_.progress_every == 0) {
        using Clock = std::chrono::steady_clock;
        if (Clock::now() - last_shown_ >= std::chrono::duration<double>(options_.progress_interval)) {
            listener_.progress(handled_);
            last_shown_ = Clock::now();
        }
    }
}

std::size_t ReplayLoop::index_of(std::string_view code) {
    if (last_index_ < codes_.size() && codes_[last_index_].code == code) return last_index_;
    for (std::size_t i = 0; i < codes_.size(); ++i)
        if (codes_[i].code == code) return last_index_ = i;
    return codes_.size();
}

void ReplayLoop::add(const LoopTick& tick) {
    LoopCode code;
    code.code = tick.code;
    code.market = tick.market;
    code.market_type = parse_product_type(code.market);
    code.prints = &matcher_.prints(code.code);
    codes_.push_back(std::move(code));
    last_index_ = codes_.size() - 1;
    listener_.code_added(last_index_);
}

void ReplayLoop::take(std::size_t index, const LoopTick& tick, std::int64_t day, std::int64_t night_day) {
    LoopCode& code = codes_[index];
    if (code.market != tick.market) {
        code.market = tick.market;
        code.market_type = parse_product_type(code.market);
    }
    code.tick = tick.values;
    code.day = day;
    code.night_day = night_day;
    if (std::find(changed_.begin(), changed_.end(), index) == changed_.end()) changed_.push_back(index);
}

bool ReplayLoop::sets_band_reference(const LoopCode& code, double timestamp) const {
    if (!code.market_type) return false;
    const std::int64_t wall_us = to_wall_micros(timestamp, options_.utc_offset_hours);
    return vkb::sets_band_reference(*code.market_type, second_of_day(wall_us));
}

// The code's last trade, told to the matcher's daily bands.
void ReplayLoop::observe_band(const LoopCode& code) {
    if (!code.market_type) return;
    matcher_.observe_band(code.code, *code.market_type, code.tick.timestamp, code.tick.close, options_.utc_offset_hours);
}

// The code's working orders meet the tick; the listener hears only of fills and expiries.
void ReplayLoop::match(std::size_t index) {
    const LoopCode& code = codes_[index];
    const TradePrint trade{code.tick.timestamp, code.tick.close, code.tick.bid_price, code.tick.ask_price,
                           code.tick.qty};
    const std::vector<MatchEvent> events = matcher_.on_trade(code.code, trade);
    if (!events.empty()) listener_.matched(index, events);
}

}  // namespace vkb
