// QuoteManager: tick buffers, k-bars and their rules in the C++ core (vkb::QuoteDesk), polars tables in
// quote_frames.py; this edge converts between them.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/py_console.hpp"
#include "common/rule_text.hpp"
#include "numpy_columns.hpp"
#include "quote_feed.hpp"
#include "tick_record_reader.hpp"
#include "vkb/bar_feed.hpp"
#include "vkb/civil_time.hpp"
#include "vkb/quote_desk.hpp"
#include "vkb/session_calendar.hpp"

namespace nb = nanobind;

namespace {

using vkb::py::owned_column;
using vkb::py::shared_view;

constexpr const char* kUnitsMessage = "'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']";

// The frames of one k-bar cache (quote_frames.KbarFrames) and the cache version they show.
struct FrameCache {
    nb::object frames;
    nb::object full;
    std::uint64_t version = ~std::uint64_t{0};
};

std::string cache_key(int unit, std::int64_t freq) {
    return std::to_string(freq) + std::string(vkb::to_string(static_cast<vkb::BarUnit>(unit)));
}

vkb::ProductType parse_market(std::string_view text) {
    if (auto market = vkb::parse_product_type(text)) return *market;
    throw nb::key_error(std::string(text).c_str());
}

vkb::ProductType tick_market(std::string_view text) {
    if (auto market = vkb::parse_product_type(text)) return *market;
    const nb::str value(text.data(), text.size());
    const std::string message = "tick 的 'market_type' 必須是 'Stock' 或 'Future': " + nb::cast<std::string>(nb::repr(value));
    throw nb::value_error(message.c_str());
}

class QuoteManager {
public:
    QuoteManager()
        : frames_(nb::module_::import_("vorn_kest_backtest.modules.positions.quote_frames")),
          basic_info_(vkb::py::basic_info()),
          utc_offset_key_(nb::steal(PyUnicode_InternFromString("utc_offset_hours"))) {
        auto dates = nb::module_::import_("vorn_kest_backtest.modules.market.market")
                         .attr("read_holiday_dates")();
        set_holidays(dates);
    }
    QuoteManager(const QuoteManager&) = delete;
    QuoteManager& operator=(const QuoteManager&) = delete;

    nb::set holiday_search_set() const {
        nb::set out;
        for (std::int64_t days : desk_.book().calendar().holidays()) {
            int y, m, d;
            vkb::civil_from_days(days, y, m, d);
            out.add(nb::str(vkb::format_date(y, m, d).c_str()));
        }
        return out;
    }

    void set_holidays(nb::handle dates) {
        std::vector<std::int64_t> days;
        for (nb::handle item : dates) {
            const std::string text = nb::cast<std::string>(nb::str(item));
            int y = 0, m = 0, d = 0;
            if (std::sscanf(text.c_str(), "%d-%d-%d", &y, &m, &d) == 3) days.push_back(vkb::days_from_civil(y, m, d));
        }
        desk_.book().calendar().set_holidays(days);
    }

    nb::dict not_trade_times() const {
        auto time = nb::module_::import_("datetime").attr("time");
        nb::dict out;
        for (auto market : {vkb::ProductType::Stock, vkb::ProductType::Future}) {
            nb::list pairs;
            for (const auto& iv : desk_.book().calendar().closed(market)) {
                nb::list pair;
                for (int s : {iv.start_second, iv.end_second}) pair.append(time(s / 3600, s % 3600 / 60, s % 60));
                pairs.append(pair);
            }
            out[nb::str(std::string(vkb::to_string(market)).c_str())] = pairs;
        }
        return out;
    }

    void set_not_trade_times(nb::dict table) {
        for (auto [key, pairs] : table) {
            std::vector<vkb::ClosedInterval> intervals;
            for (nb::handle pair : pairs) {
                const auto seconds = [](nb::handle t) {
                    return nb::cast<int>(t.attr("hour")) * 3600 + nb::cast<int>(t.attr("minute")) * 60 +
                           nb::cast<int>(t.attr("second"));
                };
                intervals.push_back({seconds(pair[0]), seconds(pair[1])});
            }
            desk_.book().calendar().set_closed(parse_market(nb::cast<std::string>(key)), std::move(intervals));
        }
    }

    nb::dict get_init_ticks_info() const {
        return nb::cast<nb::dict>(frames_.attr("ticks_info")(get_empty_tick_df(), get_empty_tick_df(), nb::dict()));
    }

    nb::object get_empty_tick_df() const { return frames_.attr("empty_tick_df")(); }

    void clear_ticks() {
        desk_.clear();
        frame_caches_.clear();
    }

    void add_tick(nb::handle tick) {
        const nb::object dict = vkb::py::TickRecordReader::as_dict(tick);
        PyObject* d = dict.ptr();
        const std::string_view code = reader_.code(d);
        vkb::QuoteTick record;
        record.market = tick_market(reader_.market_type(d));
        record.dt_us = vkb::to_wall_micros(reader_.timestamp(d), utc_offset_hours());
        record.close = reader_.close(d);
        record.qty = reader_.qty(d);
        record.tick_type = reader_.tick_type(d);
        record.is_simulate = reader_.is_simulate(d);
        desk_.add_tick(desk_.entry(code), record);
    }

    std::size_t feed_values(const vkb::py::QuoteValues& tick) {
        const vkb::QuoteTick record = vkb::checked_quote_tick(
            tick.market_type ? *tick.market_type : tick_market(tick.market), tick.timestamp, tick.utc_offset_hours,
            tick.close, tick.qty, tick.tick_type, tick.is_simulate);
        desk_.add_tick(desk_.entry(tick.code, tick.hint), record);
        return desk_.feed().closed_count();
    }

    std::size_t feed_tick(nb::handle tick) {
        add_tick(tick);
        return desk_.feed().closed_count();
    }

    void subscribe(nb::handle code, nb::handle unit, nb::handle freq) { subscription(code, unit, freq); }

    std::size_t finish_bars() {
        desk_.feed().finish(desk_.book());
        return desk_.feed().closed_count();
    }

    nb::list closed_bars() {
        nb::list out;
        for (const vkb::ClosedBar& closed : desk_.feed().take_closed()) {
            const vkb::BarSubscription& sub = desk_.feed().subscription(closed.subscription);
            const vkb::KbarColumns& bars = sub.cache->bars();
            const std::size_t i = closed.index;
            out.append(nb::make_tuple(sub.entry->code, std::string(vkb::to_string(sub.rule.unit)), sub.rule.freq, bars.start[i],
                                      bars.open[i], bars.high[i], bars.low[i], bars.close[i], bars.volume[i]));
        }
        return out;
    }

    nb::tuple bar_arrays(nb::handle code, nb::handle unit, nb::handle freq) {
        return columns(bars_of(code, unit, freq));
    }

    // A view is its buffer and length: while the token stays, the views of bar_arrays handed out last
    // still are the bars.
    std::uint64_t bar_layout(nb::handle code, nb::handle unit, nb::handle freq) {
        return desk_.layout_token(bars_of(code, unit, freq));
    }

    std::size_t add_indicator(nb::handle code, nb::handle unit, nb::handle freq, const std::string& kind,
                              std::int64_t length, double width) {
        return desk_.add_indicator(subscription(code, unit, freq), kind, length, width);
    }

    nb::object indicator_values(std::size_t handle) const {
        return shared_view(desk_.indicator(handle).values());
    }

    double indicator_value(std::size_t handle) const {
        const vkb::SharedColumn<double>& values = desk_.indicator(handle).values();
        return values.empty() ? std::nan("") : values.back();
    }

    nb::object poped_tick_to_df(const std::string& code) { return tick_df(desk_.drain(code), true); }

    nb::object poped_old_ticks_to_df(const std::string& code) { return tick_df(desk_.drained(code), true); }

    std::size_t tick_count(const std::string& code) {
        const vkb::CodeTicks* entry = desk_.book().find(code);
        return entry == nullptr ? 0 : entry->history.size();
    }

    nb::object tick_window_days() const {
        return desk_.book().tick_window() == 0 ? nb::none() : nb::cast(desk_.book().tick_window());
    }

    void set_tick_window_days(nb::handle days) {
        if (days.is_none()) {
            desk_.book().set_tick_window(0);
            return;
        }
        if (!PyLong_Check(days.ptr()) || PyBool_Check(days.ptr()) || PyLong_AsLongLong(days.ptr()) < 1) {
            PyErr_Clear();
            throw nb::value_error(("tick_window_days 必須是正整數 (交易日數) 或 None (保留全部 tick): " +
                                   nb::cast<std::string>(nb::repr(days)))
                                      .c_str());
        }
        desk_.book().set_tick_window(nb::cast<std::size_t>(days));
    }

    nb::dict ticks() {
        nb::dict out;
        for (const auto& entry : desk_.book().entries()) {
            nb::dict cached;
            for (auto& [key, cache] : entry->caches)
                cached[nb::str(cache_key(key.first, key.second).c_str())] =
                    frames_.attr("bar_frame")(entry->code, columns(cache.bars()));
            out[nb::str(entry->code.c_str())] = frames_.attr("ticks_info")(
                tick_df(entry->fresh_ticks(), false), tick_df(entry->drained_ticks(), false), cached);
        }
        return out;
    }

    nb::object aggregate_kbar(nb::handle tick_df) const { return frames_.attr("aggregate_kbar")(tick_df); }

    nb::object get_kbar(nb::handle code, nb::handle unit, nb::handle freq, nb::handle exprs, nb::handle to_pandas_df) {
        if (!PyUnicode_Check(code.ptr())) throw nb::type_error("'code' must be a string");
        const vkb::BarUnit bar_unit = checked_unit(unit);
        if (!PyLong_Check(freq.ptr())) throw nb::type_error("'freq' must be an integer");
        if (!exprs.is_none() && !PyList_Check(exprs.ptr())) throw nb::type_error("'exprs' must be a list");
        const vkb::BarRule rule = checked_rule(bar_unit, freq);

        nb::object df = kbars(nb::cast<std::string>(code), rule);
        if (!exprs.is_none() && PyList_GET_SIZE(exprs.ptr()) != 0) df = df.attr("with_columns")(exprs);
        return return_fn(df, PyObject_IsTrue(to_pandas_df.ptr()) == 1);
    }

private:
    const vkb::KbarColumns& bars_of(nb::handle code, nb::handle unit, nb::handle freq) {
        static const vkb::KbarColumns kNoBars;
        const vkb::BarRule rule = checked_rule(checked_unit(unit), freq);
        if (!PyUnicode_Check(code.ptr())) throw nb::type_error("'code' must be a string");
        const vkb::KbarCache* cache = desk_.bars(nb::cast<std::string>(code), rule, false);
        return cache == nullptr ? kNoBars : cache->bars();
    }

    int utc_offset_hours() const {
        nb::object value = nb::steal(PyObject_GetAttr(basic_info_.ptr(), utc_offset_key_.ptr()));
        if (!value.is_valid()) throw nb::python_error();
        return nb::cast<int>(value);
    }

    static vkb::BarUnit checked_unit(nb::handle unit) {
        std::optional<vkb::BarUnit> bar_unit;
        if (PyUnicode_Check(unit.ptr())) bar_unit = vkb::parse_bar_unit(nb::cast<std::string>(unit));
        if (!bar_unit) throw nb::type_error(kUnitsMessage);
        return *bar_unit;
    }

    std::size_t subscription(nb::handle code, nb::handle unit, nb::handle freq) {
        if (!PyUnicode_Check(code.ptr())) throw nb::type_error("'code' must be a string");
        const vkb::BarRule rule = checked_rule(checked_unit(unit), freq);
        return desk_.subscribe(nb::cast<std::string>(code), rule);
    }

    // A bar length the bucket arithmetic can hold; freq is a Python int.
    static vkb::BarRule checked_rule(vkb::BarUnit unit, nb::handle freq) {
        if (!PyLong_Check(freq.ptr())) throw nb::type_error("'freq' must be an integer");
        int overflow = 0;
        const long long length = PyLong_AsLongLongAndOverflow(freq.ptr(), &overflow);
        if (length == -1 && PyErr_Occurred()) throw nb::python_error();
        if (overflow != 0)
            throw nb::value_error(vkb::too_long_bar_message(unit, nb::cast<std::string>(nb::repr(freq))).c_str());
        return vkb::checked_bar_rule(unit, length);
    }

    static nb::object return_fn(nb::object df, bool to_pandas) { return to_pandas ? df.attr("to_pandas")() : df; }

    nb::object kbars(const std::string& code, vkb::BarRule rule) {
        const vkb::KbarCache* cache = desk_.bars(code, rule, true);
        if (cache == nullptr) return frames_.attr("empty_kbar_df")();
        FrameCache& frames = frame_caches_[cache];
        if (frames.full.is_valid() && frames.version == cache->version()) return frames.full;
        if (!frames.frames.is_valid()) frames.frames = frames_.attr("KbarFrames")(code);
        frames.full = frames.frames.attr("update")(columns(cache->bars()), cache->rewrite_version());
        frames.version = cache->version();
        return frames.full;
    }

    static nb::tuple columns(const vkb::KbarColumns& bars) {
        return nb::make_tuple(shared_view(bars.start), shared_view(bars.open), shared_view(bars.high),
                              shared_view(bars.low), shared_view(bars.close), shared_view(bars.volume));
    }

    nb::object tick_df(vkb::TickSpan ticks, bool by_time) const {
        const std::size_t n = ticks.size();
        if (n == 0) return get_empty_tick_df();
        auto dt = owned_column<std::int64_t>(n);
        auto market = owned_column<std::int8_t>(n);
        auto close = owned_column<double>(n);
        auto qty = owned_column<std::int64_t>(n);
        auto tick_type = owned_column<std::int8_t>(n);
        auto is_simulate = owned_column<bool>(n);
        auto is_virtual = owned_column<bool>(n);
        vkb::write_tick_columns(ticks, by_time,
                                {dt.data, market.data, close.data, qty.data, tick_type.data, is_simulate.data,
                                 is_virtual.data});
        return frames_.attr("tick_frame")(ticks.entry->code, dt.array, market.array, close.array, qty.array,
                                          tick_type.array, is_simulate.array, is_virtual.array);
    }

    vkb::QuoteDesk desk_;
    vkb::py::TickRecordReader reader_;
    nb::object frames_;
    nb::object basic_info_;
    nb::object utc_offset_key_;
    std::unordered_map<const vkb::KbarCache*, FrameCache> frame_caches_;
};

}  // namespace

void* vkb::py::quote_manager_of(nb::handle quotes) {
    return nb::isinstance<QuoteManager>(quotes) ? nb::inst_ptr<QuoteManager>(quotes) : nullptr;
}

std::size_t vkb::py::feed_quote_values(void* quotes, const QuoteValues& tick) {
    return static_cast<QuoteManager*>(quotes)->feed_values(tick);
}

// Help texts that state session hours, written from the core's session table.
static const std::string& add_tick_doc() {
    static const std::string doc =
        "加入一筆 tick; 與上一筆相隔超過一分鐘時, 以上一筆收盤價補上 qty 為 0 的虛擬 tick "
        "(is_simulate 為 False, is_virtual 為 True), 跳過非交易時段, 週末與休市日; 期貨夜盤 (" +
        vkb::py::clock_text(vkb::kNightStartSecond) + " 至次日 " + vkb::py::clock_text(vkb::kNightEndSecond) + ") 延續至週六清晨.";
    return doc;
}

static const std::string& get_kbar_doc() {
    static const std::string doc =
        "取得商品的 K 棒 (polars DataFrame, to_pandas_df 為 True 時為 pandas).\n\n"
        "unit: m 分, h 時, d 日, w 週, mo 月, q 季, y 年; freq: 每根 K 棒的單位數; "
        "exprs: 以 with_columns 加入的欄位 (None 表示不加).\n"
        "K 棒起點 (交易所當地時間): m, w (週一起), mo, q, y 自 1970-01-01 起截斷; "
        "h 依交易時段對齊: 股票自 " + vkb::py::clock_text(vkb::kStockOpenSecond) + " 起, 期貨日盤自 " +
        vkb::py::clock_text(vkb::kFuturesDayOpenSecond) + " 起, 夜盤自 " + vkb::py::clock_text(vkb::kNightStartSecond) + " 起 (跨午夜延續); "
        "d: 股票為日曆日, 期貨為交易日 (前一晚 " + vkb::py::clock_text(vkb::kNightStartSecond) +
        " 起的夜盤計入次一交易日), 標記為該交易日 00:00.\n"
        "每個 (freq, unit) 各自快取並記錄已納入的 tick 位置; 試撮 (is_simulate) tick 不納入.";
    return doc;
}

void bind_quote_manager(nb::module_& m) {
    nb::class_<QuoteManager>(m, "QuoteManager",
                             "逐筆行情緩衝與 K 棒: 依商品代碼保存回放的 tick, 補齊盤中缺漏分鐘的虛擬 tick, "
                             "並依需求彙總任意週期的 K 棒.")
        .def(nb::init<>())
        .def_prop_rw("holiday_search_set", &QuoteManager::holiday_search_set, &QuoteManager::set_holidays,
                     "休市日集合 (\"%Y-%m-%d\" 字串); 讀取得到副本, 重新指定整個集合才會生效.")
        .def_prop_rw("not_trade_times", &QuoteManager::not_trade_times, &QuoteManager::set_not_trade_times,
                     "各商品類型的非交易時段 {market_type: [[start, end], ...]} (datetime.time, 含兩端); "
                     "讀取得到副本, 重新指定整個對照表才會生效.")
        .def_prop_rw("tick_window_days", &QuoteManager::tick_window_days, &QuoteManager::set_tick_window_days,
                     nb::for_setter(nb::sig("def tick_window_days(self, value: int | None, /) -> None")),
                     nb::for_setter(nb::arg("value").none()),
                     nb::for_getter(nb::sig("def tick_window_days(self, /) -> int | None")),
                     "每個商品保留 tick 的交易日數: 最近的 N 個交易日 (依該商品最新 tick 的交易日); "
                     "None (預設) 保留全部 tick. K 棒與指標不受影響: 丟棄前的 tick 都已計入 K 棒, "
                     "之後才要求的週期由每個商品的逐分鐘彙總建立; ticks, poped_tick_to_df 與 "
                     "poped_old_ticks_to_df 只含保留的 tick.")
        .def("tick_count", &QuoteManager::tick_count, nb::arg("code"), "商品目前保留的 tick 數 (含虛擬 tick).")
        .def_prop_ro("ticks", &QuoteManager::ticks,
                     "{code: {\"ticks\", \"old_ticks\", \"last_tick\", \"cached_kbars\"}} 的即時檢視 "
                     "(每次讀取時由 C++ 緩衝產生).")
        .def("subscribe", &QuoteManager::subscribe, nb::arg("code").none(), nb::arg("unit").none() = "m",
             nb::arg("freq").none() = 1,
             nb::sig("def subscribe(self, code: str, unit: str = 'm', freq: int = 1) -> None"),
             "訂閱 K 棒收盤事件: 之後每根收盤的 K 棒由 closed_bars 取得一次.\n\n"
             "K 棒收盤的時機: 同一商品的 tick 開啟下一根 K 棒時 (在該 tick 之前); "
             "任何商品的 tick 時間到達或超過該 K 棒所屬交易時段結束後的一分鐘 (股票 13:31, 期貨 13:46 與 05:01), "
             "且下一個交易時段屬於另一根 K 棒時; 以及 finish_bars (回放結束). "
             "虛擬 tick 組成的 K 棒在該商品下一筆 tick 到達時產生並隨之收盤.")
        .def("feed_tick", &QuoteManager::feed_tick, nb::arg("tick"),
             "同 add_tick, 回傳尚未取出的已收盤 K 棒數.")
        .def("finish_bars", &QuoteManager::finish_bars, "回放結束: 所有未收盤的訂閱 K 棒收盤; 回傳尚未取出的數目.")
        .def("closed_bars", &QuoteManager::closed_bars,
             "取出已收盤的訂閱 K 棒 [(code, unit, freq, dt 微秒, Open, High, Low, Close, Volume), ...], 依收盤順序.")
        .def("bar_arrays", &QuoteManager::bar_arrays, nb::arg("code").none(), nb::arg("unit").none() = "m",
             nb::arg("freq").none() = 1,
             nb::sig("def bar_arrays(self, code: str, unit: str = 'm', freq: int = 1) -> tuple"),
             "K 棒欄位的唯讀 numpy 檢視 (dt 微秒 int64, Open, High, Low, Close, Volume), 不複製; "
             "與 get_kbar 相同的列 (最後一根可能尚未收盤). 保留的檢視一直有效: 列數固定, 已收盤的 K 棒不變, "
             "尚未收盤的最後一根隨 tick 更新至收盤為止.")
        .def("bar_layout", &QuoteManager::bar_layout, nb::arg("code").none(), nb::arg("unit").none() = "m",
             nb::arg("freq").none() = 1,
             "K 棒欄位目前的位置代號: 代號不變時, 上次 bar_arrays 的檢視仍是目前的 K 棒 (最後一根隨 tick 更新).")
        .def("add_indicator", &QuoteManager::add_indicator, nb::arg("code").none(), nb::arg("unit").none(),
             nb::arg("freq").none(), nb::arg("kind"), nb::arg("length") = 0, nb::arg("width") = 2.0,
             nb::sig("def add_indicator(self, code: str, unit: str, freq: int, kind: str, length: int = 0, "
                     "width: float = 2.0) -> int"),
             "在訂閱的 K 棒上加入指標 (sma, ema, rsi, atr, bollinger_upper, bollinger_lower, highest, lowest, vwap), "
             "每根 K 棒收盤時更新一次; 回傳指標代號.")
        .def("indicator_values", &QuoteManager::indicator_values, nb::arg("handle"),
             "指標每根已收盤 K 棒的值 (唯讀 numpy 檢視, 暖機期間為 NaN); 保留的檢視一直有效, 值不變.")
        .def("indicator_value", &QuoteManager::indicator_value, nb::arg("handle"), "指標最新的值 (尚無 K 棒收盤時為 NaN).")
        .def("get_init_ticks_info", &QuoteManager::get_init_ticks_info, "新的單一商品 tick 資訊.")
        .def("get_empty_tick_df", &QuoteManager::get_empty_tick_df, "空的 tick 資料表 (八個欄位).")
        .def("clear_ticks", &QuoteManager::clear_ticks, "清除所有商品的 tick 與 K 棒快取.")
        .def("add_tick", &QuoteManager::add_tick, nb::arg("tick"),
             add_tick_doc().c_str())
        .def("poped_tick_to_df", &QuoteManager::poped_tick_to_df, nb::arg("code"),
             "取出尚未取出的 tick (依 dt 排序) 並移入 old_ticks.")
        .def("poped_old_ticks_to_df", &QuoteManager::poped_old_ticks_to_df, nb::arg("code"),
             "已取出過的 tick 資料表 (依 dt 排序).")
        .def("aggregate_kbar", &QuoteManager::aggregate_kbar, nb::arg("tick_df"),
             "依 kbar_time 與 code 分組彙總為 K 棒 (dt, code, Open, High, Low, Close, Volume).")
        .def("get_kbar", &QuoteManager::get_kbar, nb::arg("code").none(), nb::arg("unit").none() = "m", nb::arg("freq").none() = 1,
             nb::arg("exprs").none() = nb::none(), nb::arg("to_pandas_df").none() = false,
             get_kbar_doc().c_str());
}
