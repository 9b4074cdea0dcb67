// The replay loop in C++: each tick goes from the Ticker to the account's current ticks and the
// quotes (with their bar events) without a Python call. The working orders of the tick's code meet it
// in the core's matcher, which also follows each stock's daily band. Python is called for the hooks a
// strategy defines, for the order book when an order fills or expires,
// for the contract roll when a code it holds may start a new trading date, and for the equity
// recorder at a minute change. A tick's record is made only when Python is
// about to look: the account's current ticks and the book's last ticks are brought up to date
// before every call into Python and when the loop ends.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/py_modules.hpp"
#include "quote_feed.hpp"
#include "tick_record_reader.hpp"
#include "ticker/ticker_impl.hpp"
#include "vkb/civil_time.hpp"
#include "vkb/exchange_time.hpp"
#include "vkb/order_matcher.hpp"
#include "vkb/session_calendar.hpp"

namespace nb = nanobind;

namespace vkb::py {

nb::object matcher_event(const MatchEvent& event);

namespace {

nb::object interned(const char* text) { return nb::steal(PyUnicode_InternFromString(text)); }

std::string_view utf8(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) throw nb::python_error();
    return {data, static_cast<std::size_t>(size)};
}

// The latest tick of one code.
struct CodeSlot {
    nb::object code, market;  // str
    std::string code_text, market_text;
    std::optional<vkb::ProductType> market_type;  // market_text parsed (none: the quotes refuse it)
    QuoteEntryHint quote_entry;
    TickView tick{};
    nb::object record;        // null until Python needs it
    bool is_simulate = false;
    bool published = false;   // the record is the account's current tick and the book's last tick
    vkb::PrintStats* prints = nullptr;  // the matcher's count of the code's prints
    std::int64_t day = 0;     // exchange date, in days since 1970-01-01
    std::int64_t night_day = 0;  // day of the latest night opening: changes with each futures trading date
    bool sets_reference = false;  // the last tick was of a session that sets the daily band's reference
};

// Where the ticks come from: a Ticker's engine directly, or any object with pop_tick and allow_next_tick.
class TickSource {
public:
    explicit TickSource(nb::handle ticker)
        : ticker_(nb::borrow(ticker)), status_key_(interned("vorn_status")),
          exit_value_(loaded_module("vorn_kest_backtest.constant").attr("FLAG").attr("exit_send_tick").attr("value")) {
        if (!nb::try_cast<Ticker*>(ticker, native_) || native_ == nullptr) {
            native_ = nullptr;
            pop_ = ticker_.attr("pop_tick");
            allow_ = ticker_.attr("allow_next_tick");
        }
    }

    // TickItem::Tick fills `tick` (record stays null); TickItem::Object sets `record` to the record popped.
    // With `allow` the next tick is granted first.
    TickItem next(TickView& tick, nb::object& record, bool allow) {
        if (native_ != nullptr) {
            const TickItem kind = allow ? native_->allow_and_pop_view(tick, record) : native_->pop_view(tick, record);
            if (kind != TickItem::Object) return kind;
        } else {
            if (allow) allow_();
            record = pop_();
        }
        return classify(record);
    }

    // Live ticks to take without the queue (a Ticker only).
    bool lease(std::size_t max, TickSpan& span) { return native_ != nullptr && native_->lease_span(max, span); }
    void settle(std::size_t taken) { native_->settle_span(taken); }
    nb::object record_of(const TickView& tick) const { return native_->record_of(tick); }

private:
    TickItem classify(const nb::object& record) {
        if (!PyDict_Check(record.ptr())) return TickItem::Object;
        PyObject* status = PyDict_GetItemWithError(record.ptr(), status_key_.ptr());
        if (status == nullptr) {
            if (PyErr_Occurred()) throw nb::python_error();
            return TickItem::Object;
        }
        return nb::handle(status).equal(exit_value_) ? TickItem::Exit : TickItem::Status;
    }

    // The Ticker behind ticker_ when it is one; ticker_ keeps it alive.
    nb::object ticker_, status_key_, exit_value_, pop_, allow_;
    Ticker* native_ = nullptr;
};

struct DriverHooks {
    nb::object ctx, on_tick, on_tick_failed, deliver_bars, matcher, matched, last_ticks,
        last_quotes, recorder, progress, roll_held, roll_session;
    bool bar_events = false;
    std::size_t progress_every = 4096;
    double progress_interval = 0.1;
    int utc_offset_hours = vkb::kExchangeUtcOffsetHours;
};

class ReplayDriver {
public:
    ReplayDriver(nb::handle ticker, nb::handle positions, nb::handle quotes, DriverHooks hooks)
        : source_(ticker), positions_(nb::borrow(positions)), hooks_(std::move(hooks)),
          current_ticks_key_(interned("current_tick_infos")), sample_minute_key_(interned("sample_minute")),
          catch_up_key_(interned("catch_up")) {
        quotes_ = quote_manager_of(quotes);
        if (quotes_ == nullptr) throw nb::type_error("quote_manager 必須是 QuoteManager");
        if (!nb::try_cast<OrderMatcher*>(hooks_.matcher, matcher_) || matcher_ == nullptr)
            throw nb::type_error("matcher 必須是 OrderMatcher");
        if (!PyDict_Check(hooks_.last_ticks.ptr())) throw nb::type_error("last_ticks 必須是 dict");
        if (hooks_.last_quotes.is_valid() && !PyDict_Check(hooks_.last_quotes.ptr()))
            throw nb::type_error("last_quotes 必須是 dict 或 None");
        if (hooks_.roll_held.is_valid() && !PyDict_Check(hooks_.roll_held.ptr()))
            throw nb::type_error("roll_held 必須是 dict 或 None");
    }

    std::size_t run() {
        try {
            loop();
        } catch (...) {
            // What Python looks at after a failed replay still shows the ticks handled.
            publish_quietly();
            throw;
        }
        publish();
        if (hooks_.recorder.is_valid() && last_stamp_) hooks_.recorder.attr(catch_up_key_)(closes(), *last_stamp_);
        return handled_;
    }

private:
    void loop() {
        using Clock = std::chrono::steady_clock;
        auto last_shown = Clock::now();
        const auto interval = std::chrono::duration<double>(hooks_.progress_interval);
        double next_sample = hooks_.recorder.is_valid() ? -INFINITY : INFINITY;
        // A status record uses no permit: the one granted after the last tick is still pending.
        bool permit_due = false;
        for (;;) {
            TickView tick{};
            nb::object record;
            // An on_tick strategy calls Python on every tick, which would end every lease at once.
            const bool leasing = permit_due && !hooks_.on_tick.is_valid();
            const TickItem kind = leasing && take_leased(tick) ? TickItem::Tick : source_.next(tick, record, permit_due);
            permit_due = false;
            if (kind == TickItem::Exit) break;
            if (kind == TickItem::Status) continue;
            bool is_simulate = false;
            // A record from Python, as a dict that keeps the str objects the view borrows this round.
            nb::object fields;
            if (record.is_valid()) {
                fields = TickRecordReader::as_dict(record);
                tick = view_of(fields.ptr(), is_simulate);
            }
            if (tick.timestamp >= next_sample) next_sample = sample_equity(tick.timestamp);
            const std::int64_t day = exchange_day(tick.timestamp);
            std::size_t index = slot_index(tick.code);
            const bool new_code = index == slots_.size();
            if (new_code) add_slot(tick);
            CodeSlot& slot = slots_[index];
            const bool new_day = new_code || slot.day != day;
            const std::int64_t night_day = night_day_of(tick.timestamp);
            const bool roll_due = !new_code && slot.night_day != night_day && rolls(slot);
            nb::object previous;
            if (roll_due) previous = record_of(slot);
            // A code's band follows its last trade of a reference-setting session (a stock's day, a futures day
            // session) and the first trade after it.
            const bool sets_reference = sets_band_reference(slot, tick.timestamp);
            const bool band_turn = new_day || sets_reference != slot.sets_reference;
            if (band_turn && !new_code) observe_band(slot);
            take(slot, tick, std::move(record), is_simulate, day, night_day);
            if (band_turn) observe_band(slot);
            slot.sets_reference = sets_reference;
            slot.prints->volume += static_cast<double>(slot.tick.qty);
            ++slot.prints->prints;
            const std::size_t closed = feed_quotes(slot);
            if (roll_due) roll(slot, previous);
            if (matcher_->has_orders(slot.code_text)) match(slot);
            if (hooks_.bar_events && closed > 0) {
                publish();
                hooks_.deliver_bars(record_of(slot));
            }
            if (hooks_.on_tick.is_valid()) call_on_tick(slot);
            ++handled_;
            last_stamp_ = tick.timestamp;
            if (hooks_.progress.is_valid() && handled_ % hooks_.progress_every == 0 &&
                Clock::now() - last_shown >= interval) {
                before_python();
                hooks_.progress(handled_);
                last_shown = Clock::now();
            }
            permit_due = true;
        }
    }

    // The next live tick from a lease, taking a new lease when the last one is used up.
    bool take_leased(TickView& tick) {
        if (leased_ && taken_ == span_.count) settle_lease();
        if (!leased_) {
            if (!source_.lease(kLeaseTicks, span_)) return false;
            leased_ = true;
            taken_ = 0;
        }
        const std::size_t row = span_.begin + taken_++;
        const std::uint32_t code = span_.code_index[row];
        tick.code = span_.codes[code];
        tick.market = span_.markets[code];
        tick.timestamp = vkb::wall_ns_to_epoch_seconds(span_.ts_ns[row], span_.utc_offset_hours);
        tick.close = span_.close[row];
        tick.bid_price = span_.bid_price[row];
        tick.ask_price = span_.ask_price[row];
        tick.bid_volume = span_.bid_volume[row];
        tick.ask_volume = span_.ask_volume[row];
        tick.qty = span_.volume[row];
        tick.tick_type = span_.tick_type[row];
        tick.backfilling = 0;
        return true;
    }

    // Books the leased ticks taken with the Ticker: due before Python may look at it.
    void settle_lease() {
        if (!leased_) return;
        leased_ = false;
        source_.settle(taken_);
    }

    // The fields of a record popped as a Python object, checked like add_tick checks them.
    TickView view_of(PyObject* d, bool& is_simulate) {
        TickView tick{};
        reader_.code(d);
        reader_.market_type(d);
        tick.code = item(d, "code");
        tick.market = item(d, "market_type");
        tick.timestamp = reader_.timestamp(d);
        tick.close = reader_.close(d);
        // A record made in Python keeps its own quote keys for the order book.
        tick.bid_price = tick.ask_price = std::nan("");
        tick.bid_volume = tick.ask_volume = 0;
        tick.qty = reader_.qty(d);
        tick.tick_type = reader_.tick_type(d);
        is_simulate = reader_.is_simulate(d);
        return tick;
    }

    static PyObject* item(PyObject* d, const char* key) {
        PyObject* value = PyDict_GetItemString(d, key);
        if (value == nullptr) throw nb::key_error(key);
        return value;
    }

    std::int64_t exchange_day(double timestamp) const {
        return static_cast<std::int64_t>(std::floor((timestamp + hooks_.utc_offset_hours * 3600.0) / 86400.0));
    }

    // Worked out only while a roll is watched: the loop pays nothing for it otherwise.
    std::int64_t night_day_of(double timestamp) const {
        if (!hooks_.roll_held.is_valid()) return 0;
        return vkb::night_opening_day(vkb::to_wall_micros(timestamp, hooks_.utc_offset_hours));
    }

    std::size_t slot_index(PyObject* code) {
        if (last_index_ < slots_.size() && slots_[last_index_].code.ptr() == code) return last_index_;
        for (std::size_t i = 0; i < slots_.size(); ++i)
            if (slots_[i].code.ptr() == code) return last_index_ = i;
        // Another batch's str of the same code.
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            const int same = PyObject_RichCompareBool(slots_[i].code.ptr(), code, Py_EQ);
            if (same < 0) throw nb::python_error();
            if (same == 1) {
                slots_[i].code = nb::borrow(code);
                slots_[i].code_text = utf8(code);
                return last_index_ = i;
            }
        }
        return slots_.size();
    }

    void add_slot(const TickView& tick) {
        CodeSlot slot;
        slot.code = nb::borrow(tick.code);
        slot.market = nb::borrow(tick.market);
        slot.code_text = utf8(tick.code);
        slot.market_text = utf8(tick.market);
        slot.market_type = vkb::parse_product_type(slot.market_text);
        slot.prints = &matcher_->prints(slot.code_text);
        slots_.push_back(std::move(slot));
    }

    void take(CodeSlot& slot, const TickView& tick, nb::object record, bool is_simulate, std::int64_t day,
              std::int64_t night_day) {
        if (slot.market.ptr() != tick.market) {
            slot.market = nb::borrow(tick.market);
            slot.market_text = utf8(tick.market);
            slot.market_type = vkb::parse_product_type(slot.market_text);
        }
        slot.tick = tick;
        slot.tick.code = slot.code.ptr();
        slot.tick.market = slot.market.ptr();
        slot.record = std::move(record);
        slot.is_simulate = is_simulate;
        slot.day = day;
        slot.night_day = night_day;
        slot.published = false;
        const auto index = static_cast<std::size_t>(&slot - slots_.data());
        if (std::find(dirty_.begin(), dirty_.end(), index) == dirty_.end()) dirty_.push_back(index);
    }

    std::size_t feed_quotes(CodeSlot& slot) {
        QuoteValues values;
        values.code = slot.code_text;
        values.market = slot.market_text;
        values.market_type = slot.market_type;
        values.hint = &slot.quote_entry;
        values.timestamp = slot.tick.timestamp;
        values.close = slot.tick.close;
        values.qty = slot.tick.qty;
        values.tick_type = slot.tick.tick_type;
        values.is_simulate = slot.is_simulate;
        values.utc_offset_hours = hooks_.utc_offset_hours;
        return feed_quote_values(quotes_, values);
    }

    // The code's working orders meet the tick in the core; the book hears only of fills and expiries.
    void match(CodeSlot& slot) {
        const TradePrint trade{slot.tick.timestamp, slot.tick.close, slot.tick.bid_price, slot.tick.ask_price,
                               static_cast<std::int64_t>(slot.tick.qty)};
        const std::vector<MatchEvent> events = matcher_->on_trade(slot.code_text, trade);
        if (events.empty()) return;
        publish();
        nb::list told;
        for (const MatchEvent& event : events) told.append(matcher_event(event));
        hooks_.matched(record_of(slot), told);
    }

    // Whether the roll holds a contract month of the code: only Python changes that, and it is asked
    // only when a trading date may have begun.
    bool rolls(const CodeSlot& slot) const {
        if (!hooks_.roll_held.is_valid()) return false;
        const int held = PyDict_Contains(hooks_.roll_held.ptr(), slot.code.ptr());
        if (held < 0) throw nb::python_error();
        return held == 1;
    }

    // The code's first tick of what may be a new trading date, with its last tick before it: the roll
    // settles an expired month before the book or the strategy sees the tick.
    void roll(CodeSlot& slot, const nb::object& previous) {
        publish();
        hooks_.roll_session(previous, record_of(slot));
    }

    bool sets_band_reference(const CodeSlot& slot, double timestamp) const {
        if (!slot.market_type) return false;
        const std::int64_t wall_us = vkb::to_wall_micros(timestamp, hooks_.utc_offset_hours);
        return vkb::sets_band_reference(*slot.market_type, vkb::second_of_day(wall_us));
    }

    // The slot's last trade, told to the matcher's daily bands.
    void observe_band(const CodeSlot& slot) {
        if (!slot.market_type) return;
        matcher_->bands().observe(slot.code_text, *slot.market_type,
                                  vkb::ContractGrid::for_code(slot.code_text, *slot.market_type),
                                  vkb::to_wall_micros(slot.tick.timestamp, hooks_.utc_offset_hours), slot.tick.close);
    }

    void call_on_tick(CodeSlot& slot) {
        publish();
        try {
            hooks_.on_tick(record_of(slot), hooks_.ctx);
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;
            // Raises the strategy's error naming the tick.
            hooks_.on_tick_failed(error.value(), slot.record);
            throw;
        }
    }

    // The recorder samples the minute that just ended from the closes before this tick.
    double sample_equity(double timestamp) {
        publish();
        const nb::object stamp = last_stamp_ ? nb::object(nb::float_(*last_stamp_)) : nb::none();
        return nb::cast<double>(hooks_.recorder.attr(sample_minute_key_)(closes(), stamp, timestamp));
    }

    nb::dict closes() const {
        nb::dict out;
        for (const CodeSlot& slot : slots_) out[slot.code] = nb::float_(slot.tick.close);
        return out;
    }

    const nb::object& record_of(CodeSlot& slot) {
        if (!slot.record.is_valid()) slot.record = source_.record_of(slot.tick);
        return slot.record;
    }

    // Before any call into Python: the Ticker has booked the leased ticks.
    void before_python() {
        settle_lease();
    }

    // Called before every call into Python that may look at the account or the books.
    void publish() {
        before_python();
        if (dirty_.empty()) return;
        const nb::object current_ticks = positions_.attr(current_ticks_key_);
        for (std::size_t index : dirty_) {
            CodeSlot& slot = slots_[index];
            const nb::object record = record_of(slot);
            current_ticks[slot.code] = record;
            if (PyDict_SetItem(hooks_.last_ticks.ptr(), slot.code.ptr(), record.ptr()) != 0) throw nb::python_error();
            if (hooks_.last_quotes.is_valid()) publish_quote(slot);
            slot.published = true;
        }
        dirty_.clear();
    }

    // The quote of the code's latest tick, (bid, ask, bid size, ask size) with NaN for a missing side and 0
    // for a missing size; none when the tick carried no quote at all.
    void publish_quote(const CodeSlot& slot) {
        const double bid = slot.tick.bid_price, ask = slot.tick.ask_price;
        const nb::object quote = std::isnan(bid) && std::isnan(ask)
                                     ? nb::none()
                                     : nb::object(nb::make_tuple(nb::float_(bid), nb::float_(ask),
                                                                 nb::int_(slot.tick.bid_volume),
                                                                 nb::int_(slot.tick.ask_volume)));
        if (PyDict_SetItem(hooks_.last_quotes.ptr(), slot.code.ptr(), quote.ptr()) != 0) throw nb::python_error();
    }

    void publish_quietly() noexcept {
        try {
            publish();
        } catch (...) {
            // the replay's own error is the one reported
            PyErr_Clear();
        }
    }

    TickSource source_;
    nb::object positions_;
    void* quotes_ = nullptr;
    DriverHooks hooks_;
    OrderMatcher* matcher_ = nullptr;
    nb::object current_ticks_key_, sample_minute_key_, catch_up_key_;
    TickRecordReader reader_;
    std::vector<CodeSlot> slots_;
    std::vector<std::size_t> dirty_;
    std::size_t last_index_ = 0;
    std::size_t handled_ = 0;
    // Ticks taken per lease at most; a lease ends earlier at the next call into Python.
    static constexpr std::size_t kLeaseTicks = std::size_t{1} << 16;
    TickSpan span_{};
    std::size_t taken_ = 0;
    bool leased_ = false;
    std::optional<double> last_stamp_;
};

}  // namespace

}  // namespace vkb::py

void bind_replay_driver(nb::module_& m) {
    using namespace vkb::py;
    m.def(
        "drive_replay",
        [](nb::handle ticker, nb::handle positions, nb::handle quote_manager, nb::object ctx, nb::object on_tick,
           nb::object on_tick_failed, nb::object deliver_bars, bool bar_events, nb::object matcher,
           nb::object matched,
           nb::object last_ticks, nb::object last_quotes, nb::object recorder, nb::object progress, std::size_t progress_every,
           double progress_interval, int utc_offset_hours, nb::object roll_held, nb::object roll_session) {
            auto optional = [](nb::object value) { return value.is_none() ? nb::object() : value; };
            if (progress_every == 0) throw nb::value_error("progress_every 必須是正整數: 0");
            DriverHooks hooks{std::move(ctx),       optional(std::move(on_tick)), std::move(on_tick_failed),
                              std::move(deliver_bars), std::move(matcher),      std::move(matched),
                              std::move(last_ticks),   optional(std::move(last_quotes)), optional(std::move(recorder)), optional(std::move(progress)),
                              optional(std::move(roll_held)), optional(std::move(roll_session)),
                              bar_events,              progress_every,            progress_interval,
                              utc_offset_hours};
            if (hooks.roll_held.is_valid() != hooks.roll_session.is_valid())
                throw nb::value_error("roll_held 與 roll_session 須同時給或同時不給");
            return ReplayDriver(ticker, positions, quote_manager, std::move(hooks)).run();
        },
        nb::arg("ticker"), nb::arg("positions"), nb::arg("quote_manager"), nb::arg("ctx"), nb::kw_only(),
        nb::arg("on_tick").none(), nb::arg("on_tick_failed"), nb::arg("deliver_bars"), nb::arg("bar_events"),
        nb::arg("matcher"), nb::arg("matched"), nb::arg("last_ticks"), nb::arg("last_quotes").none(),
        nb::arg("recorder").none(),
        nb::arg("progress").none(), nb::arg("progress_every"), nb::arg("progress_interval"),
        nb::arg("utc_offset_hours"), nb::arg("roll_held").none() = nb::none(), nb::arg("roll_session").none() = nb::none(),
        "逐筆回放直到結束狀態, 回傳處理的 Tick 數. 帳戶的目前 Tick, 行情與 K 棒事件在 C++ 中更新, "
        "等待中的委託由 matcher (OrderMatcher) 撮合; 只在策略定義的方法, 委託成交或到期 "
        "(matched(這一筆, 事件)), 換月持有的代碼可能開始新的交易日 "
        "(roll_session(前一筆, 這一筆), 在委託簿與策略之前; roll_held 為持有月份的代碼), "
        "以及權益每分鐘取樣時呼叫 Python.");
}
