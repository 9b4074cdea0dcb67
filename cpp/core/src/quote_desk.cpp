#include "vkb/quote_desk.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "vkb/civil_time.hpp"

namespace vkb {

bool valid_tick_timestamp(double epoch_seconds) {
    return std::isfinite(epoch_seconds) && epoch_seconds >= kFirstTickTimestamp && epoch_seconds < kEndTickTimestamp;
}

bool valid_tick_close(double close) { return std::isfinite(close) && close >= 0.0; }

QuoteTick checked_quote_tick(ProductType market, double epoch_seconds, int utc_offset_hours, double close,
                             std::int64_t qty, std::int64_t tick_type, bool is_simulate) {
    if (!valid_tick_timestamp(epoch_seconds))
        throw std::invalid_argument("tick 的 'timestamp' 超出範圍 (1970-01-01 至 2100-01-01 之前): " +
                                    std::to_string(epoch_seconds));
    if (!valid_tick_close(close))
        throw std::invalid_argument("tick 的 'close' 必須是不小於 0 的有限數值: " + std::to_string(close));
    if (!valid_tick_qty(qty)) throw std::invalid_argument("tick 的 'qty' 不能小於 0: " + std::to_string(qty));
    if (!valid_tick_type(tick_type))
        throw std::invalid_argument("tick 的 'tick_type' 必須在 -128 至 127 之間: " + std::to_string(tick_type));
    QuoteTick tick;
    tick.market = market;
    tick.dt_us = to_wall_micros(epoch_seconds, utc_offset_hours);
    tick.close = close;
    tick.qty = qty;
    tick.tick_type = static_cast<std::int8_t>(tick_type);
    tick.is_simulate = is_simulate;
    return tick;
}

CodeTicks& QuoteDesk::entry(std::string_view code, EntryHint* hint) {
    if (hint != nullptr && hint->generation == generation_) return *hint->entry;
    CodeTicks& found = recent_entry(code);
    if (hint != nullptr) *hint = {&found, generation_};
    return found;
}

void QuoteDesk::add_tick(CodeTicks& entry, const QuoteTick& tick) {
    if (book_.tick_window() != 0 && !entry.history.empty() && entry.history.back().market != tick.market)
        throw std::invalid_argument("保留有限的 tick 時, 同一商品的 tick 須屬同一市場 (Stock 或 Future): " + entry.code);
    book_.add_tick(entry, tick);
    if (!feed_.empty()) feed_.on_tick(book_, entry, tick.dt_us);
    book_.trim(entry);
}

TickSpan QuoteDesk::drain(std::string_view code) {
    CodeTicks* entry = book_.find(code);
    if (entry == nullptr) return {};
    const TickSpan fresh = entry->fresh_ticks();
    entry->drained = fresh.end;
    return fresh;
}

TickSpan QuoteDesk::drained(std::string_view code) {
    const CodeTicks* entry = book_.find(code);
    return entry == nullptr ? TickSpan{} : entry->drained_ticks();
}

KbarCache* QuoteDesk::bars(std::string_view code, BarRule rule, bool drain) {
    CodeTicks* entry = book_.find(code);
    if (entry == nullptr) return nullptr;
    if (drain) entry->drained = entry->history.total();
    KbarCache& cache = entry->cache(rule, book_.calendar());
    entry->update(cache, book_.calendar());
    return &cache;
}

std::size_t QuoteDesk::add_indicator(std::size_t subscription, std::string_view kind, std::int64_t length,
                                     double width) {
    const auto parsed = parse_indicator_kind(kind);
    if (!parsed) throw std::invalid_argument("不支援的指標: " + std::string(kind));
    if (takes_length(*parsed) && length < 1)
        throw std::invalid_argument("指標的長度必須是正整數: " + std::to_string(length));
    if (!std::isfinite(width) || width < 0.0)
        throw std::invalid_argument("指標的寬度必須是不小於 0 的有限數值: " + std::to_string(width));
    indicators_.push_back(&feed_.add_indicator(book_, subscription, *parsed, takes_length(*parsed) ? length : 0,
                                               takes_width(*parsed) ? width : 0.0));
    return indicators_.size() - 1;
}

const Indicator& QuoteDesk::indicator(std::size_t handle) const {
    if (handle >= indicators_.size()) throw std::invalid_argument("沒有這個指標: " + std::to_string(handle));
    return *indicators_[handle];
}

std::uint64_t QuoteDesk::layout_token(const KbarColumns& bars) {
    const ViewKey key{bars.size(),     bars.start.data(), bars.open.data(),  bars.high.data(),
                      bars.low.data(), bars.close.data(), bars.volume.data()};
    Layout& layout = layouts_[&bars];
    if (layout.token == 0 || !(layout.key == key)) layout = Layout{key, ++last_layout_token_};
    return layout.token;
}

void QuoteDesk::clear() {
    feed_.clear();
    indicators_.clear();
    book_.clear();
    recent_entries_.fill(nullptr);
    ++generation_;
    layouts_.clear();
}

CodeTicks& QuoteDesk::recent_entry(std::string_view code) {
    for (CodeTicks* entry : recent_entries_)
        if (entry != nullptr && entry->code == code) return *entry;
    std::rotate(recent_entries_.rbegin(), recent_entries_.rbegin() + 1, recent_entries_.rend());
    recent_entries_.front() = &book_.entry(code);
    return *recent_entries_.front();
}

}  // namespace vkb
