// Position views: one record per open position or one per code, valued at the code's last tick.
// The money comes from vkb_core (value_entry, summarize_holding); this file only reads the book and
// the ticks and builds the records.
//
// Choices where the account leaves room:
// - Codes without an open position are left out of both views.
// - A code without a tick shows pnl 0, after the red line (once per code).
// - The simulated account trades cash only, so every margin field is 0.
// - "date" is the exchange date of the position's "exchange_ts"; a text value is shown as given.
#include <optional>
#include <string>
#include <vector>

#include "common/py_args.hpp"
#include "common/py_console.hpp"
#include "positions_support.hpp"
#include "vkb/accounting.hpp"
#include "vkb/exchange_time.hpp"

namespace vkb::py {

namespace {

constexpr const char* kNoTickLine = "[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]";

ProductType view_product_type(nb::handle value) {
    if (PyUnicode_Check(value.ptr()))
        if (auto type = parse_product_type(utf8(value))) return *type;
    raise_exception("不支援的商品類型: " + str_text(value));
}

// One selected code's open entries (a copy: console hooks run while we read) and its last close
// (none without a tick).
struct Holding {
    nb::object code;
    SideBook sides;
    PositionMark mark;
};

std::vector<Holding> holdings(Self self, nb::handle product_type) {
    const Keys& k = keys();
    nb::object mapper = get_attr(self.h, k.product_type_mapper);
    nb::object ticks = get_attr(self.h, k.current_tick_infos);
    std::vector<Holding> out;
    for (const auto& [name, sides] : self.p->book.codes().items()) {
        if (sides.buy.empty() && sides.sell.empty()) continue;
        nb::str code(name.c_str(), name.size());
        if (!has_item(mapper, code) || !equals(get_item(mapper, code), product_type)) continue;
        out.push_back({code, sides, {}});
    }
    const int offset = static_cast<int>(to_int64(basic_info().attr("utc_offset_hours")));
    for (Holding& h : out) {
        h.mark.utc_offset_hours = offset;
        nb::object tick = ticks.attr(k.get)(h.code);
        if (tick.is_none()) console_print(kNoTickLine);
        else {
            h.mark.close = to_double(get_item(tick, k.close));
            h.mark.time = record_time(tick, k.timestamp);
        }
    }
    return out;
}

nb::object position_date(nb::handle position, int utc_offset_hours) {
    nb::object ts = get_item(position, keys().exchange_ts);
    if (PyUnicode_Check(ts.ptr())) return ts;
    const std::string date = format_exchange_date(to_double(ts), utc_offset_hours);
    return nb::str(date.c_str(), date.size());
}

void add_cash_margin_fields(nb::dict& record, std::initializer_list<nb::handle> names) {
    for (nb::handle name : names) record[name] = nb::int_(0);
}

nb::list format_detail(Self self, nb::handle product_type) {
    const Keys& k = keys();
    const ProductType type = view_product_type(product_type);
    nb::list out;
    for (const Holding& h : holdings(self, product_type)) {
        const std::string_view code = utf8(h.code);
        for (const bool long_side : {true, false}) {
            const FeeLookup exit_fees = lookup_fees(self.h, h.code, long_side ? k.sell : k.buy, type, false);
            const FeeLookup entry_fees = lookup_fees(self.h, h.code, long_side ? k.buy : k.sell, type, false);
            for (const OpenEntry& e : h.sides.side(long_side)) {
                nb::object position = self.p->records.at(e.id);
                const OpenValuation v =
                    value_entry(code, e, long_side, h.mark, entry_fees.rule, exit_fees.rule, exit_fees.multiplier);
                nb::dict r;
                r[k.code] = h.code;
                r[k.date] = position_date(position, h.mark.utc_offset_hours);
                r[k.quantity] = get_item(position, k.quantity);
                r[k.price] = get_item(position, k.price);
                r[k.cost] = nb::float_(v.principal);
                r[k.pnl] = nb::float_(v.pnl);
                r[k.fee] = nb::float_(v.entry_charges);
                r[k.trade_id] = get_item(position, k.trade_id);
                if (type == ProductType::Stock) add_cash_margin_fields(r, {k.margin_purchase_amount, k.collateral});
                out.append(r);
            }
        }
    }
    return out;
}

nb::object round_price(double value) { return nb::float_(value).attr("__round__")(2); }

nb::list format_summary(Self self, nb::handle product_type) {
    const Keys& k = keys();
    const ProductType type = view_product_type(product_type);
    nb::list out;
    for (const Holding& h : holdings(self, product_type)) {
        const std::int64_t unit =
            type == ProductType::Stock ? kSharesPerLot : to_int64(future_contract_value(h.code));
        const HoldingSummary s = summarize_holding(h.sides, h.mark.close, unit);
        nb::dict r;
        r[k.code] = h.code;
        r[k.quantity] = nb::int_(s.quantity);
        r[k.avg_price] = s.quantity > 0 ? round_price(s.average_price()) : nb::object(nb::int_(0));
        r[k.pnl] = nb::float_(s.pnl);
        if (type == ProductType::Stock) {
            r[k.cond] = loaded_module("vorn_kest_backtest.constant").attr("OrderCond").attr("CASH");
            add_cash_margin_fields(r, {k.margin_purchase_amount, k.collateral, k.short_sale_margin, k.interest});
        }
        out.append(r);
    }
    return out;
}

nb::list fetch_positions(Self self, nb::handle account_type, bool detail) {
    const Keys& k = keys();
    if (!equals(account_type, k.Stock) && !equals(account_type, k.Future))
        raise_exception("不支援的帳戶類型: " + str_text(account_type));
    nb::list list = detail ? format_detail(self, account_type) : format_summary(self, account_type);
    self.h.attr("add_positions_to_queue")(list);
    return list;
}

}  // namespace

void bind_positions_views(PositionsClass& cls) {
    cls.def(
        "fetch_positions",
        method<kind::Any, kind::Opt<kind::Bool>>(
            "fetch_positions", {"account_type", "fetch_detail"},
            [](Self self, nb::handle account_type, nb::handle fetch_detail) {
                return fetch_positions(self, account_type, fetch_detail.is(Py_True));
            }),
        nb::sig("def fetch_positions(self, account_type: str, fetch_detail: bool = False) -> list"),
        "取得持有部位\n\n"
        "account_type: \"Stock\" 或 \"Future\"; fetch_detail: True 為每筆明細, False 為每個商品的總計.\n"
        "格式化後的 list 放入 fetch_position_queue, 並回傳同一個 list.");

    cls.def(
        "_Positions__format_position_detail",
        method<kind::Any>("__format_position_detail", {"product_type"},
                          [](Self self, nb::handle product_type) { return format_detail(self, product_type); }),
        nb::sig("def _Positions__format_position_detail(self, product_type: str) -> list"),
        "格式化庫存資訊(明細)\n\n"
        "每筆未平倉部位一筆: code, date (成交的交易所日期), quantity, price, cost, pnl, fee, trade_id;\n"
        "股票另有 margin_purchase_amount, collateral (現股交易, 皆為 0).\n"
        "單位 = 股票 1000, 期貨為合約價值; 進場價 = price 依目前設定滑價後的價格.\n"
        "cost = 進場價金 = 進場價 x quantity x 單位.\n"
        "fee = 進場成本 = 手續費 + 每筆固定成本 (稅於平倉時支付).\n"
        "pnl = 以最後一筆 Tick 的 close 平倉會記入的損益: 與實際平倉相同的計算, 含雙邊手續費, 平倉稅,\n"
        "固定成本與設定的滑價; 多單 = 出場價金 - cost - 雙邊成本, 空單 = cost - 出場價金 - 雙邊成本.\n"
        "沒有 Tick 的商品印出紅字提示, pnl 為 0.");

    cls.def(
        "_Positions__format_position_summary",
        method<kind::Any>("__format_position_summary", {"product_type"},
                          [](Self self, nb::handle product_type) { return format_summary(self, product_type); }),
        nb::sig("def _Positions__format_position_summary(self, product_type: str) -> list"),
        "格式化庫存資訊(總計)\n\n"
        "每個有未平倉部位的商品一筆: code, quantity (數量合計), avg_price, pnl;\n"
        "股票另有 cond (OrderCond.CASH), margin_purchase_amount, collateral, short_sale_margin, interest (皆為 0).\n"
        "avg_price = sum(price x quantity) / sum(quantity), 四捨五入至小數 2 位 (數量為 0 時為 0).\n"
        "pnl = sum((close - price) x quantity x 單位), 空單取負號; 未扣成本與滑價的價差損益.\n"
        "單位 = 股票 1000, 期貨為合約價值. 沒有 Tick 的商品印出紅字提示, pnl 為 0.");
}

}  // namespace vkb::py
