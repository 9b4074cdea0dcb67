// The replay loop's way to Python: ticks go from the Ticker into the core's ReplayLoop, which keeps
// each code's latest tick, its daily band and its working orders; this file answers what the loop asks
// of Python (the quotes and their bar events, the hooks a strategy defines, the order book when an order
// fills or expires, the contract roll, the equity recorder). A tick's record is made only when Python
// is about to look: the account's current ticks and the book's last ticks are brought up to date
// before every call into Python and when the loop ends.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/py_args.hpp"
#include "common/py_modules.hpp"
#include "quote_feed.hpp"
#include "tick_record_reader.hpp"
#include "ticker/ticker_impl.hpp"
#include "vkb/civil_time.hpp"
#include "vkb/order_matcher.hpp"
#include "vkb/replay_loop.hpp"

namespace nb = nanobind;

namespace vkb::py {

nb::list matcher_events(const std::vector<MatchEvent>& events);

namespace {

nb::object interned(const char* text) { return nb::steal(PyUnicode_InternFromString(text)); }

// What the binding keeps of one code beside the loop's: its str objects and its record.
struct CodeSlot {
    nb::object code, market;  // str
    QuoteEntryHint quote_entry;
    nb::object record;  // null until Python needs it
};

// The text of the str last asked about, kept alive while its text is reused: ticks of one code come in runs.
class TextOf {
public:
    std::string_view of(PyObject* text) {
        if (text != held_.ptr()) {
            view_ = utf8(text);
            held_ = nb::borrow(text);
        }
        return view_;
    }

private:
    nb::object held_;
    std::string_view view_;
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

// The callables are null where Python gave None.
struct DriverHooks {
    nb::object ctx, on_tick, on_tick_failed, deliver_bars, matched, recorder, progress, roll_session;
    nb::dict last_ticks;
    std::optional<nb::dict> last_quotes, roll_held;
};

class ReplayDriver final : public vkb::ReplayListener {
public:
    ReplayDriver(nb::handle ticker, nb::handle positions, void* quotes, OrderMatcher& matcher, DriverHooks hooks,
                 vkb::ReplayLoopOptions options)
        : source_(ticker), positions_(nb::borrow(positions)), quotes_(quotes), hooks_(std::move(hooks)),
          current_ticks_key_(interned("current_tick_infos")), sample_minute_key_(interned("sample_minute")),
          catch_up_key_(interned("catch_up")) {
        options.samples_equity = hooks_.recorder.is_valid();
        options.watches_roll = hooks_.roll_held.has_value();
        options.calls_on_tick = hooks_.on_tick.is_valid();
        options.reports_progress = hooks_.progress.is_valid();
        utc_offset_hours_ = options.utc_offset_hours;
        loop_.emplace(matcher, *this, options);
    }

    std::size_t run() {
        try {
            pump();
        } catch (...) {
            // What Python looks at after a failed replay still shows the ticks handled.
            publish_quietly();
            throw;
        }
        publish();
        if (hooks_.recorder.is_valid() && loop_->last_stamp())
            hooks_.recorder.attr(catch_up_key_)(closes(), *loop_->last_stamp());
        return loop_->handled();
    }

    void code_added(std::size_t) override {
        CodeSlot slot;
        slot.code = nb::borrow(tick_.code);
        slot.market = nb::borrow(tick_.market);
        slots_.push_back(std::move(slot));
    }

    void replacing(std::size_t code, bool keep_previous) override {
        CodeSlot& slot = slots_[code];
        if (keep_previous) previous_ = record_of(code);
        if (slot.market.ptr() != tick_.market) slot.market = nb::borrow(tick_.market);
        slot.record = std::move(record_);
    }

    std::size_t feed_quotes(std::size_t code) override {
        const vkb::LoopCode& state = loop_->codes()[code];
        QuoteValues values;
        values.code = state.code;
        values.market = state.market;
        values.market_type = state.market_type;
        values.hint = &slots_[code].quote_entry;
        values.timestamp = state.tick.timestamp;
        values.close = state.tick.close;
        values.qty = state.tick.qty;
        values.tick_type = state.tick.tick_type;
        values.is_simulate = state.tick.is_simulate;
        values.utc_offset_hours = utc_offset_hours_;
        return feed_quote_values(quotes_, values);
    }

    // The recorder samples the minute that just ended from the closes before this tick.
    double sample_minute(double timestamp) override {
        publish();
        const auto& last = loop_->last_stamp();
        const nb::object stamp = last ? nb::object(nb::float_(*last)) : nb::none();
        return nb::cast<double>(hooks_.recorder.attr(sample_minute_key_)(closes(), stamp, timestamp));
    }

    // Only Python changes what the roll holds.
    bool roll_holds(std::size_t code) override {
        const int held = PyDict_Contains(hooks_.roll_held->ptr(), slots_[code].code.ptr());
        if (held < 0) throw nb::python_error();
        return held == 1;
    }

    void roll(std::size_t code) override {
        publish();
        hooks_.roll_session(std::move(previous_), record_of(code));
    }

    void matched(std::size_t code, const std::vector<MatchEvent>& events) override {
        publish();
        hooks_.matched(record_of(code), matcher_events(events));
    }

    void bars_closed(std::size_t code) override {
        publish();
        hooks_.deliver_bars(record_of(code));
    }

    void on_tick(std::size_t code) override {
        publish();
        try {
            hooks_.on_tick(record_of(code), hooks_.ctx);
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;
            // Raises the strategy's error naming the tick.
            hooks_.on_tick_failed(error.value(), slots_[code].record);
            throw;
        }
    }

    void progress(std::size_t handled) override {
        settle_lease();
        hooks_.progress(handled);
    }

private:
    // Ticks from the source into the loop until the end-of-replay status.
    void pump() {
        // A status record uses no permit: the one granted after the last tick is still pending.
        bool permit_due = false;
        for (;;) {
            tick_ = TickView{};
            record_ = nb::object();
            // An on_tick strategy calls Python on every tick, which would end every lease at once.
            const bool leasing = permit_due && !hooks_.on_tick.is_valid();
            const TickItem kind = leasing && take_leased(tick_) ? TickItem::Tick : source_.next(tick_, record_, permit_due);
            permit_due = false;
            if (kind == TickItem::Exit) break;
            if (kind == TickItem::Status) continue;
            bool is_simulate = false;
            // A record from Python, as a dict that keeps the str objects the view borrows this round.
            nb::object fields;
            if (record_.is_valid()) {
                fields = TickRecordReader::as_dict(record_);
                tick_ = view_of(fields.ptr(), is_simulate);
            }
            loop_->step(vkb::LoopTick{code_text_.of(tick_.code), market_text_.of(tick_.market),
                                      vkb::TickValues{tick_.timestamp, tick_.close, tick_.bid_price, tick_.ask_price,
                                                      tick_.bid_volume, tick_.ask_volume, tick_.qty, tick_.tick_type,
                                                      is_simulate}});
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
        copy_row_numbers(span_, row, tick);
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

    nb::dict closes() const {
        nb::dict out;
        const auto& codes = loop_->codes();
        for (std::size_t i = 0; i < codes.size(); ++i) out[slots_[i].code] = nb::float_(codes[i].tick.close);
        return out;
    }

    // The code's latest tick as a record, made when Python first needs it.
    const nb::object& record_of(std::size_t code) {
        CodeSlot& slot = slots_[code];
        if (!slot.record.is_valid()) {
            const vkb::TickValues& values = loop_->codes()[code].tick;
            const TickView tick{slot.code.ptr(),   slot.market.ptr(),  values.timestamp,  values.close,
                                values.bid_price,  values.ask_price,   values.bid_volume, values.ask_volume,
                                values.qty,        values.tick_type,   0};
            slot.record = source_.record_of(tick);
        }
        return slot.record;
    }

    // Called before every call into Python that may look at the account or the books: the Ticker has
    // booked the leased ticks, and the changed codes' latest ticks are the account's and the books'.
    void publish() {
        settle_lease();
        if (loop_->changed().empty()) return;
        const nb::object current_ticks = positions_.attr(current_ticks_key_);
        for (std::size_t code : loop_->changed()) {
            const CodeSlot& slot = slots_[code];
            const nb::object record = record_of(code);
            current_ticks[slot.code] = record;
            if (PyDict_SetItem(hooks_.last_ticks.ptr(), slot.code.ptr(), record.ptr()) != 0) throw nb::python_error();
            if (hooks_.last_quotes) publish_quote(slot, loop_->codes()[code].tick);
        }
        loop_->clear_changed();
    }

    // The quote of the code's latest tick, (bid, ask, bid size, ask size) with NaN for a missing side and 0
    // for a missing size; none when the tick carried no quote at all.
    void publish_quote(const CodeSlot& slot, const vkb::TickValues& tick) {
        const nb::object quote =
            tick.has_quote() ? nb::object(nb::make_tuple(nb::float_(tick.bid_price), nb::float_(tick.ask_price),
                                                         nb::int_(tick.bid_volume), nb::int_(tick.ask_volume)))
                             : nb::none();
        if (PyDict_SetItem(hooks_.last_quotes->ptr(), slot.code.ptr(), quote.ptr()) != 0) throw nb::python_error();
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
    void* quotes_;
    DriverHooks hooks_;
    int utc_offset_hours_;
    nb::object current_ticks_key_, sample_minute_key_, catch_up_key_;
    TickRecordReader reader_;
    std::optional<vkb::ReplayLoop> loop_;
    std::vector<CodeSlot> slots_;  // by the loop's code index
    // The tick being stepped and its record from Python (null for a leased tick), until the loop takes it.
    TickView tick_{};
    nb::object record_;
    nb::object previous_;  // the code's tick before the one stepped, for the roll
    TextOf code_text_, market_text_;
    // Ticks taken per lease at most; a lease ends earlier at the next call into Python.
    static constexpr std::size_t kLeaseTicks = std::size_t{1} << 16;
    TickSpan span_{};
    std::size_t taken_ = 0;
    bool leased_ = false;
};

}  // namespace

}  // namespace vkb::py

void bind_replay_driver(nb::module_& m) {
    using namespace vkb::py;
    m.def(
        "drive_replay",
        [](nb::handle ticker, nb::handle positions, nb::handle quote_manager, nb::object ctx, nb::object on_tick,
           nb::object on_tick_failed, nb::object deliver_bars, bool bar_events, vkb::OrderMatcher& matcher,
           nb::object matched, nb::dict last_ticks, std::optional<nb::dict> last_quotes, nb::object recorder,
           nb::object progress, std::size_t progress_every, double progress_interval, int utc_offset_hours,
           std::optional<nb::dict> roll_held, nb::object roll_session) {
            void* quotes = quote_manager_of(quote_manager);
            if (quotes == nullptr) throw nb::type_error("quote_manager 必須是 QuoteManager");
            auto given = [](nb::object value) { return value.is_none() ? nb::object() : value; };
            DriverHooks hooks{std::move(ctx),          given(std::move(on_tick)),  std::move(on_tick_failed),
                              std::move(deliver_bars), std::move(matched),         given(std::move(recorder)),
                              given(std::move(progress)), given(std::move(roll_session)), std::move(last_ticks),
                              std::move(last_quotes),  std::move(roll_held)};
            vkb::ReplayLoopOptions options;
            options.bar_events = bar_events;
            options.progress_every = progress_every;
            options.progress_interval = progress_interval;
            options.utc_offset_hours = utc_offset_hours;
            return ReplayDriver(ticker, positions, quotes, matcher, std::move(hooks), options).run();
        },
        nb::arg("ticker"), nb::arg("positions"), nb::arg("quote_manager"), nb::arg("ctx"), nb::kw_only(),
        nb::arg("on_tick").none(), nb::arg("on_tick_failed"), nb::arg("deliver_bars"), nb::arg("bar_events"),
        nb::arg("matcher"), nb::arg("matched"), nb::arg("last_ticks"), nb::arg("last_quotes").none(),
        nb::arg("recorder").none(), nb::arg("progress").none(), nb::arg("progress_every"),
        nb::arg("progress_interval"), nb::arg("utc_offset_hours"), nb::arg("roll_held").none() = nb::none(),
        nb::arg("roll_session").none() = nb::none(),
        "逐筆回放直到結束狀態, 回傳處理的 Tick 數; 引數由 vorn_kest_backtest.modules.positions.positions.drive_replay 檢查.");
}
