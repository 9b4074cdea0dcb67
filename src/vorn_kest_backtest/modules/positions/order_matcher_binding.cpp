// Class OrderMatcher: the core's matching of working orders (vkb::OrderMatcher) for the order book, shared
// with the C++ replay loop so that a tick meeting no order calls no Python.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include "market/market_values.hpp"
#include "vkb/contract_grid.hpp"
#include "vkb/order_matcher.hpp"

namespace nb = nanobind;

namespace vkb::py {

nb::list matcher_events(const std::vector<MatchEvent>& events);

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double or_nan(const std::optional<double>& value) { return value ? *value : kNaN; }

nb::object or_none(double value) { return std::isnan(value) ? nb::none() : nb::object(nb::float_(value)); }

OrderKind kind_of(const std::string& kind) {
    if (auto parsed = parse_order_kind(kind)) return *parsed;
    throw nb::value_error(("委託種類必須是 Market, Limit, Stop 或 StopLimit: " + kind).c_str());
}

// A stock's bands by its code, a futures family's fixed tick.
ContractGrid grid_of(const std::string& code, std::optional<double> futures_tick) {
    try {
        return futures_tick ? ContractGrid::for_futures(*futures_tick) : ContractGrid::for_stock(code);
    } catch (const std::invalid_argument&) {
        throw nb::value_error("期貨跳動點必須是 0.01 的正整數倍");
    }
}

// (bid, ask, bid size, ask size); NaN or a size not above 0 where a side is missing.
BookQuote book_quote_of(const std::optional<std::tuple<double, double, double, double>>& quote) {
    if (!quote) return {};
    const auto [bid, ask, bid_volume, ask_volume] = *quote;
    return {bid, ask, bid_volume, ask_volume};
}

std::optional<Trail> trail_of(std::optional<std::pair<double, bool>> trail) {
    if (!trail) return std::nullopt;
    return Trail{trail->first, trail->second};
}

nb::tuple state_of(const MatchOrder& order) {
    return nb::make_tuple(order.triggered, order.rested, or_none(order.stop), or_none(order.best));
}

}  // namespace

// Each (kind, id, price, time, limit, (triggered, rested, stop, best), by, quantity) as the order book applies it.
nb::list matcher_events(const std::vector<MatchEvent>& events) {
    nb::list out;
    for (const MatchEvent& event : events)
        out.append(nb::make_tuple(event_name(event.kind), event.order.id, event.price, event.time,
                                  or_none(event.limit), state_of(event.order), event.by, event.quantity));
    return out;
}

}  // namespace vkb::py

void bind_order_matcher(nb::module_& m) {
    using namespace vkb;
    using namespace vkb::py;
    nb::class_<OrderMatcher>(m, "OrderMatcher",
                             "C++ 核心的委託撮合: 每個代碼的等待中委託依序遇到該代碼的成交; 成交或到期的委託離開簿子.")
        .def(nb::init<>())
        .def_prop_rw("quote_fills", &OrderMatcher::quote_fills, &OrderMatcher::set_quote_fills,
                     "市價成交是否用委買 / 委賣價 (該側無報價時用成交價).")
        .def(
            "set_rules",
            [](OrderMatcher& self, bool through, bool queue, bool partial, double latency) {
                try {
                    self.set_rules({through, queue, partial, latency});
                } catch (const std::invalid_argument&) {
                    raise_value(PyExc_ValueError, "延遲必須是非負的有限秒數", nb::float_(latency));
                }
            },
            nb::arg("through"), nb::arg("queue"), nb::arg("partial"), nb::arg("latency"),
            "成交規則: through 限價須成交價超越限價, queue 掛單排隊, partial 依成交量部分成交, "
            "latency 委託與取消到達的延遲 (秒, 回放時間).")
        .def_prop_ro(
            "rules",
            [](const OrderMatcher& self) {
                const FillRules& rules = self.rules();
                return nb::make_tuple(rules.through, rules.queue, rules.partial, rules.latency);
            },
            nb::sig("def rules(self) -> tuple[bool, bool, bool, float]"),
            "目前的成交規則 (through, queue, partial, latency); 預設為保守的 (True, False, False, 0.0).")
        .def(
            "add",
            [](OrderMatcher& self, std::int64_t id, const std::string& code, bool buy, const std::string& kind,
               std::int64_t quantity, std::optional<double> limit, std::optional<double> stop, double placed_at,
               double session_start, double session_end, bool good_till_cancel, std::optional<double> futures_tick,
               std::optional<std::pair<double, bool>> trail, std::optional<double> best, bool partial,
               std::optional<std::tuple<double, double, double, double>> quote, bool triggered, bool rested,
               std::int64_t filled) {
                MatchOrder order;
                order.id = id;
                order.buy = buy;
                order.kind = kind_of(kind);
                order.quantity = quantity;
                order.filled = filled;
                order.partial = partial;
                order.placed_at = placed_at;
                order.limit = or_nan(limit);
                order.stop = or_nan(stop);
                order.session_start = session_start;
                order.session_end = session_end;
                order.good_till_cancel = good_till_cancel;
                order.trail = trail_of(trail);
                order.best = or_nan(best);
                order.triggered = triggered;
                order.rested = rested;
                self.add(code, order, grid_of(code, futures_tick), book_quote_of(quote));
            },
            nb::arg("id"), nb::arg("code"), nb::arg("buy"), nb::arg("kind"), nb::arg("quantity"), nb::arg("limit").none(),
            nb::arg("stop").none(), nb::arg("placed_at"), nb::arg("session_start"), nb::arg("session_end"),
            nb::arg("good_till_cancel"), nb::arg("futures_tick").none(), nb::arg("trail").none() = nb::none(),
            nb::arg("best").none() = nb::none(), nb::arg("partial") = false, nb::arg("quote").none() = nb::none(),
            nb::arg("triggered") = false, nb::arg("rested") = false, nb::arg("filled") = 0,
            "加入一筆等待中的委託; futures_tick 為期貨商品族的跳動點 (股票為 None, 依代碼的價格區間), "
            "trail 為移動停損的 (距離, 是否為比例), best 為其起算的成交價; partial: 可部分成交; quote: "
            "下單時該代碼的 (委買價, 委賣價, 委買量, 委賣量), 限價等於同方向報價時該量排在前面; triggered / rested / filled 為放回時的狀態.")
        .def(
            "count_print",
            [](OrderMatcher& self, const std::string& code, std::int64_t volume) { self.prints(code).count(volume); },
            nb::arg("code"), nb::arg("volume"), "代碼的一筆成交量, 用於估計排隊 (平均每筆成交量).")
        .def("request_cancel", &OrderMatcher::request_cancel, nb::arg("id"), nb::arg("time"),
             "於 time 送出的取消, 延遲後到達; 委託不在撮合中時回傳 False.")
        .def("link", &OrderMatcher::link, nb::arg("ids"), "委託互相取消 (OCO): 其中一筆成交時, 其餘在同一筆成交離開簿子.")
        .def(
            "observe_band",
            [](OrderMatcher& self, const std::string& code, const std::string& market, double timestamp, double close,
               int utc_offset_hours) {
                const auto type = parse_product_type(market);
                if (!type) throw nb::value_error(("不支援的商品類型: " + market).c_str());
                self.observe_band(code, *type, timestamp, close, utc_offset_hours);
            },
            nb::arg("code"), nb::arg("market"), nb::arg("timestamp"), nb::arg("close"), nb::arg("utc_offset_hours"),
            "一筆成交: 漲跌停範圍依股票前一交易日, 期貨前一日盤的最後成交價.")
        .def(
            "band_outside",
            [](const OrderMatcher& self, const std::string& code, double price) { return self.bands().outside(code, price); },
            nb::arg("code"), nb::arg("price"),
            nb::sig("def band_outside(self, code: str, price: float) -> tuple[float, float] | None"),
            "價格超出今日漲跌停範圍時回傳 (下限, 上限), 否則 None.")
        .def("remove", &OrderMatcher::remove, nb::arg("id"), "委託離開撮合 (取消); 不在其中時回傳 False.")
        .def("has_orders", &OrderMatcher::has_orders, nb::arg("code"))
        .def(
            "state",
            [](const OrderMatcher& self, std::int64_t id) -> nb::object {
                const MatchOrder* order = self.find(id);
                return order == nullptr ? nb::none() : nb::object(state_of(*order));
            },
            nb::arg("id"), nb::sig("def state(self, id: int) -> tuple[bool, bool, float | None, float | None] | None"),
            "等待中委託的 (已觸發, 已掛單等待, 停損價, 最佳成交價); 不在撮合中時為 None.")
        .def(
            "on_trade",
            [](OrderMatcher& self, const std::string& code, double time, double price, double bid, double ask,
               std::int64_t volume) {
                return matcher_events(self.on_trade(code, TradePrint{time, price, bid, ask, volume}));
            },
            nb::arg("code"), nb::arg("time"), nb::arg("price"), nb::arg("bid"), nb::arg("ask"), nb::arg("volume"),
            nb::sig("def on_trade(self, code: str, time: float, price: float, bid: float, ask: float, volume: int) "
                    "-> list[tuple]"),
            "代碼的一筆成交遇到其所有等待中委託; 回傳事件 (kind, id, price, time, limit, "
            "(triggered, rested, stop, best), by, quantity), 依委託加入的順序: \"Fill\" 成交 quantity, "
            "\"Expire\" 收盤到期, \"OneCancelled\" 因 OCO 的另一筆 (by) 成交而離開, \"Cancelled\" 取消到達.")
        .def(
            "work",
            [](OrderMatcher& self, std::int64_t id, double time, double price, double bid, double ask,
               std::int64_t volume) {
                return matcher_events(self.work(id, TradePrint{time, price, bid, ask, volume}));
            },
            nb::arg("id"), nb::arg("time"), nb::arg("price"), nb::arg("bid"), nb::arg("ask"), nb::arg("volume"),
            nb::sig("def work(self, id: int, time: float, price: float, bid: float, ask: float, volume: int) "
                    "-> list[tuple]"),
            "單一委託遇到一筆成交 (在下單的 Tick 上成交者); 事件同 on_trade.")
        .def("__len__", &OrderMatcher::size);

    m.def(
        "trailing_stop_level",
        [](const std::string& code, std::optional<double> futures_tick, bool buy, double best, double distance,
           bool fraction) { return trailing_stop_level(grid_of(code, futures_tick), buy, best, {distance, fraction}); },
        nb::arg("code"), nb::arg("futures_tick").none(), nb::arg("buy"), nb::arg("best"), nb::arg("distance"),
        nb::arg("fraction"),
        "移動停損在最佳成交價 best 之後的停損價 (賣出在下方, 買進在上方), 落在價格跳動格上遠離市價的一側.");
}
