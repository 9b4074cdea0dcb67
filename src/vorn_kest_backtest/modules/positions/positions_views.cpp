// Position views: one record per open position or one per code, valued at the code's last tick.
// The money comes from vkb_core (value_entry, summarize_holding); this file only reads the book and
// the ticks and builds the records.
//
// Choices where the account leaves room:
// - Codes without an open position are left out of both views.
// - A code without a tick shows pnl 0; the caller prints the red line once per such code.
// - The simulated account trades cash only, so every margin field is 0.
// - "date" is the exchange date of the position's "exchange_ts"; a text value is shown as given.
#include <nanobind/stl/pair.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/py_args.hpp"
#include "common/py_console.hpp"
#include "positions_support.hpp"
#include "vkb/accounting.hpp"
#include "vkb/exchange_time.hpp"

namespace vkb::py {

namespace {

ProductType view_product_type(nb::handle value) {
    if (PyUnicode_Check(value.ptr()))
        if (auto type = parse_product_type(utf8(value))) return *type;
    raise_exception("不支援的商品類型: " + str_text(value));
}

// One selected code's open entries (a copy: Python code runs while we read) and its last close
// (none without a tick).
struct Holding {
    nb::object code;
    SideBook sides;
    PositionMark mark;
};

// The view's rows and how many of its codes had no tick to value them at.
using View = std::pair<nb::list, int>;

std::vector<Holding> holdings(Self self, nb::handle product_type, int& without_tick) {
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
        if (tick.is_none()) ++without_tick;
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

View format_detail(Self self, nb::handle product_type) {
    const Keys& k = keys();
    const ProductType type = view_product_type(product_type);
    nb::list out;
    int without_tick = 0;
    for (const Holding& h : holdings(self, product_type, without_tick)) {
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
    return {out, without_tick};
}

nb::object round_price(double value) { return nb::float_(value).attr("__round__")(2); }

View format_summary(Self self, nb::handle product_type) {
    const Keys& k = keys();
    const ProductType type = view_product_type(product_type);
    nb::list out;
    int without_tick = 0;
    for (const Holding& h : holdings(self, product_type, without_tick)) {
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
    return {out, without_tick};
}

}  // namespace

void bind_positions_views(PositionsClass& cls) {
    cls.def("_position_detail", &format_detail, nb::arg("product_type").none());
    cls.def("_position_summary", &format_summary, nb::arg("product_type").none());
}

}  // namespace vkb::py
