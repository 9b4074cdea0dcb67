// Position keeping: covers matched first in, first out, entries, statistics and capital.
//
// Choices where the account leaves room:
// - A profit row's "trade_cost" group is the covered (older) position's cost, priced as at its
//   entry (no tax, its own slippage direction); the "cover_cost" group is the covering trade's
//   cost, tax included, slipped in its own direction. The round trip thus pays tax once, at the
//   cover. "min_qty" is the covering side's (both sides hold the same matched quantity).
// - "origin_profit" is the profit before costs: exit_total - entry_total for a cover of longs,
//   entry_total - exit_total for a cover of shorts; "net_profit" accumulates it.
// - A trade larger than the opposite book covers it all and books the remainder as a new entry
//   in its own direction (entry count, capital and entry line), so its principal is paid before
//   a later cover returns it.
// - An unknown product type is refused before anything changes.
// - Under broker fees a covering fill is charged once, minimum fee included: each pair, and the
//   remainder it opens, takes its part of that charge. The pair's tax is charged at the cover
//   (the sell leg of shares, at the day-trade rate when both legs share a trading day; both legs
//   of futures).
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "common/py_args.hpp"
#include "common/py_console.hpp"
#include "common/py_modules.hpp"
#include "positions_support.hpp"
#include "vkb/accounting.hpp"

namespace vkb::py {

namespace {

nb::object deep_copy(nb::handle trade) {
    // A dict of immutable scalars deep-copies to a plain copy; anything else goes to copy.deepcopy.
    if (PyDict_CheckExact(trade.ptr())) {
        bool flat = true;
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (flat && PyDict_Next(trade.ptr(), &pos, &key, &value))
            flat = PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
                   PyBool_Check(value) || value == Py_None;
        if (flat) return nb::steal(PyDict_Copy(trade.ptr()));
    }
    return loaded_module("copy").attr("deepcopy")(trade);
}

void add_float(nb::handle mapping, nb::handle key, double delta) {
    set_item(mapping, key, nb::float_(to_double(get_item(mapping, key)) + delta));
}

void add_one(nb::handle mapping, nb::handle key) {
    PyObject* v = PyNumber_Add(get_item(mapping, key).ptr(), nb::int_(1).ptr());
    if (!v) throw nb::python_error();
    set_item(mapping, key, nb::steal(v));
}

std::int64_t int_field(nb::handle record, nb::handle key, const char* name) {
    nb::object v = get_item(record, key);
    expect_exact(v, &PyLong_Type, name);
    return to_int64(v);
}

struct Cover {
    CoverTotals totals;
    bool covering_buy = false;
    std::optional<TradeCost> remainder;  // under broker fees: the covering fill's charge left for its remainder
    double booked_price = 0.0;           // the covering fill's price after slippage
    double charges = 0.0;                // what the pairs charged the covering fill, tax included
};

nb::dict profit_row(nb::handle code, nb::handle entry, nb::handle exit, std::int64_t qty, const PricedFill& in,
                    const PricedFill& out, const PairSettlement& pair) {
    const Keys& k = keys();
    nb::dict r;
    r[k.code] = code;
    r[k.entry_action] = get_item(entry, k.action);
    r[k.entry_dt] = get_item(entry, k.exchange_ts);
    r[k.entry_price] = get_item(entry, k.price);
    r[k.entry_origin_price] = get_item(entry, k.origin_price);
    r[k.exit_action] = get_item(exit, k.action);
    r[k.exit_dt] = get_item(exit, k.exchange_ts);
    r[k.exit_price] = get_item(exit, k.price);
    r[k.exit_origin_price] = get_item(exit, k.origin_price);
    r[k.qty] = nb::int_(qty);
    r[k.min_qty] = nb::int_(out.cost.min_qty);
    r[k.trade_cost] = nb::float_(pair.entry_cost);
    r[k.cover_cost] = nb::float_(pair.exit_cost);
    r[k.cover_cost_fee] = nb::float_(out.cost.fee);
    r[k.cover_cost_tax] = nb::float_(out.cost.tax);
    r[k.cover_cost_fixed] = out.fixed_cost;
    r[k.trade_cost_fee] = nb::float_(in.cost.fee);
    r[k.trade_cost_tax] = nb::int_(0);
    r[k.trade_cost_fixed] = in.fixed_cost;
    r[k.profit] = nb::float_(pair.profit);
    r[k.profit_ratio] = nb::float_(pair.profit_ratio);
    r[k.entry_amount] = nb::float_(pair.entry_amount);
    r[k.exit_amount] = nb::float_(pair.exit_amount);
    return r;
}

PricedFill entry_fill(const FeeLookup& fees, std::string_view code, double price, std::int64_t qty) {
    return {entry_side_cost(code, price, qty, fees.multiplier, fees.rule), fees.fixed_cost};
}

PricedFill exit_fill(const FeeLookup& fees, std::string_view code, double price, std::int64_t qty) {
    return {exit_side_cost(code, price, qty, fees.multiplier, fees.rule), fees.fixed_cost};
}

// Matches the covering position against the opposite book. Every pair is priced, printed and
// turned into a row before the book is touched, so a failure leaves book and report as they were.
Cover cover_against_book(Self self_, nb::handle cover, ProductType type) {
    nb::handle self = self_.h;
    auto& booked = self_.p->booked;
    const Keys& k = keys();
    nb::object code = get_item(cover, k.code);
    expect_exact(code, &PyUnicode_Type, "code");
    const std::string_view code_sv = utf8(code);
    nb::object action = get_item(cover, k.action);
    Cover result;
    result.covering_buy = equals(action, k.Buy);
    nb::object opposite = get_item(get_item(get_attr(self, k.positions), code), result.covering_buy ? k.sell : k.buy);
    if (!PyList_Check(opposite.ptr())) throw nb::type_error("positions book must be a list");

    FifoCover fifo(int_field(cover, k.quantity, "quantity"));
    const double exit_price = to_double(get_item(cover, k.price));
    const FeeLookup exit_fees = lookup_fill_fees(self, cover, type);
    std::optional<BookedEntry> whole;
    if (exit_fees.rule.broker)
        whole = book_entry_cost(
            entry_side_cost(code_sv, exit_price, fifo.remaining(), exit_fees.multiplier, exit_fees.rule),
            exit_fees.multiplier);
    const bool quiet = console_quiet();
    const std::string cover_line = quiet ? std::string() : "[green]沖銷部位: " + str_text(cover) + "[/green]";

    std::vector<nb::object> rows;
    std::vector<nb::object> matched_positions;  // held: a console hook may touch the list meanwhile
    std::vector<std::int64_t> left;              // quantity each matched position keeps
    std::vector<TradeCost> taken;                // the booked entry part each pair used
    nb::object entry_action;
    FeeLookup entry_fees;
    for (Py_ssize_t i = 0; fifo.wants_more() && i < PyList_GET_SIZE(opposite.ptr()); ++i) {
        nb::object entry = nb::borrow(PyList_GET_ITEM(opposite.ptr(), i));
        const std::int64_t open_qty = int_field(entry, k.quantity, "quantity");
        const std::int64_t matched = fifo.take(open_qty);
        nb::object this_action = get_item(entry, k.action);
        if (!entry_action.is_valid() || !equals(this_action, entry_action)) {
            entry_fees = lookup_fees(self, code, this_action, type, false);
            entry_action = this_action;
        }
        entry_fees.rule.limit_price = fill_limit(entry);
        const auto found = booked.find(entry.ptr());
        PricedFill in;
        if (found != booked.end()) {
            in.cost = found->second.share(matched);
            in.cost.origin_price = to_double(get_item(entry, k.price));
            in.fixed_cost = nb::float_(in.cost.fixed_cost);
        } else {
            in = entry_fill(entry_fees, code_sv, to_double(get_item(entry, k.price)), matched);
        }
        taken.push_back(in.cost);
        PricedFill out;
        if (whole) {
            out.cost = whole->share(matched);
            whole->release(out.cost);
            out.cost = with_pair_tax(out.cost, in.cost, code_sv, exit_fees.rule, result.covering_buy,
                                     same_trading_day(record_time(entry, k.exchange_ts),
                                                      record_time(cover, k.exchange_ts)));
            out.fixed_cost = nb::float_(out.cost.fixed_cost);
        } else {
            out = exit_fill(exit_fees, code_sv, exit_price, matched);
        }
        if (!quiet) {
            console_print(cover_line);
            console_print("[yellow]被沖銷部位: " + str_text(entry) + "[/yellow]");
        }
        const PairSettlement pair = settle_pair(in.cost, out.cost, result.covering_buy);
        result.totals.add(pair);
        result.booked_price = out.cost.price;
        result.charges += pair.exit_cost;
        rows.push_back(profit_row(code, entry, cover, matched, in, out, pair));
        matched_positions.push_back(entry);
        left.push_back(open_qty - matched);
    }
    result.totals.uncovered_qty = fifo.remaining();
    if (whole && whole->cost.qty > 0) result.remainder = whole->cost;

    nb::object report_rows = get_item(get_attr(self, k._profit_report), k.rows);
    for (const nb::object& row : rows) report_rows.attr("append")(row);
    Py_ssize_t consumed = 0;
    for (std::size_t i = 0; i < left.size(); ++i) {
        set_item(matched_positions[i], k.quantity, nb::int_(left[i]));
        if (left[i] == 0) ++consumed;
        const auto found = booked.find(matched_positions[i].ptr());
        if (found == booked.end()) continue;
        found->second.release(taken[i]);
        if (left[i] == 0 || found->second.cost.qty <= 0) {
            booked.erase(found);
            matched_positions[i].dec_ref();
        }
    }
    consumed = std::min(consumed, PyList_GET_SIZE(opposite.ptr()));
    if (consumed > 0 && PyList_SetSlice(opposite.ptr(), 0, consumed, nullptr) != 0) throw nb::python_error();
    return result;
}

nb::dict cover_result(const Cover& c) {
    const Keys& k = keys();
    const CoverTotals& t = c.totals;
    nb::dict r;
    r[k.entry_total] = nb::float_(t.entry_total);
    r[k.exit_total] = nb::float_(t.exit_total);
    r[k.origin_profit] = nb::float_(t.origin_profit(c.covering_buy));
    r[k.entry_cost_total] = nb::float_(t.entry_cost_total);
    r[k.exit_cost_total] = nb::float_(t.exit_cost_total);
    r[k.cost] = nb::float_(t.cost);
    r[k.profit] = nb::float_(t.profit);
    r[k.is_covered] = nb::bool_(t.is_covered());
    r[k.un_cover_qty] = nb::int_(t.uncovered_qty);
    return r;
}

double read_capital(nb::handle self) { return to_double(get_attr(self, keys().current_capital)); }

void write_capital(nb::handle self, double capital) { set_attr(self, keys().current_capital, nb::float_(capital)); }

// Entry of `qty` of the position: its principal and entry costs leave the account. `priced` is
// the entry's part of a fill already charged by a cover. Returns what the entry was priced at.
TradeCost book_entry(Self self_, nb::handle position, nb::handle stats, ProductType type, bool buy, std::int64_t qty,
                const std::optional<TradeCost>& priced = std::nullopt) {
    nb::handle self = self_.h;
    const Keys& k = keys();
    nb::object code = get_item(position, k.code);
    const FeeLookup fees = lookup_fill_fees(self, position, type);
    const PricedFill fill = priced ? PricedFill{*priced, nb::float_(priced->fixed_cost)}
                                   : entry_fill(fees, utf8(code), to_double(get_item(position, k.price)), qty);
    add_one(stats, k.entry_times);
    const double capital = capital_after_entry(read_capital(self), fill.cost);
    write_capital(self, capital);
    if (self_.p->booked.emplace(position.ptr(), book_entry_cost(fill.cost, fees.multiplier)).second)
        position.inc_ref();
    if (console_quiet()) return fill.cost;
    console_print(std::string(buy ? "[bold pink1][做多進場]本金: " : "[bold pink1][做空進場]本金: ") + float_text(capital) +
                  (buy ? ", 進場價金: " : ", 應付金額: ") + float_text(traded_amount(fill.cost)) +
                  ", 進場成本: " + float_text(entry_charges(fill.cost)) + "[/bold pink1]");
    return fill.cost;
}

void book_cover(nb::handle self, nb::handle stats, const Cover& c) {
    const Keys& k = keys();
    const CoverTotals& t = c.totals;
    add_float(get_attr(self, k._profit_report), k.profit, t.profit);
    add_float(stats, k.entry_amount, t.entry_total);
    add_float(stats, k.exit_amount, t.exit_total);
    add_float(stats, k.extra_fee, t.cost);
    add_float(stats, k.profit, t.profit);
    add_float(stats, k.net_profit, t.origin_profit(c.covering_buy));
    add_one(stats, k.cover_times);
    if (is_winning(t.profit)) {
        add_one(stats, k.profit_times);
        add_float(stats, k.profit_total, t.profit);
    } else {
        add_one(stats, k.loss_times);
        add_float(stats, k.loss_total, t.profit);
    }
    const double capital = capital_after_cover(read_capital(self), t, c.covering_buy);
    write_capital(self, capital);
    if (console_quiet()) return;
    console_print(std::string(c.covering_buy ? "[bold yellow][做空沖銷]本金: " : "[bold yellow][做多沖銷]本金: ") +
                  float_text(capital) + (c.covering_buy ? ", 出場價金: " : ", 回收價金: ") + float_text(t.exit_total) +
                  ", 損益: " + float_text(t.profit) + ", 出場成本: " + float_text(t.exit_cost_total) +
                  "[/bold yellow]");
}

nb::object ensure_item(nb::handle mapping, nb::handle key, auto make) {
    if (!has_item(mapping, key)) set_item(mapping, key, make());
    return get_item(mapping, key);
}

// Refuses a fill no account can book, before anything changes: a price that is not a positive
// finite number, a quantity that is not a positive integer, or a size whose smallest units or
// money leave the range the account can count in.
void check_fill(nb::handle self, nb::handle trade, nb::handle code, ProductType type) {
    const Keys& k = keys();
    nb::object quantity = get_item(trade, k.quantity);
    expect_exact(quantity, &PyLong_Type, "quantity");
    const int sign = _PyLong_Sign(quantity.ptr());
    if (sign <= 0) throw nb::value_error(("數量必須為正整數: " + str_text(quantity)).c_str());
    long long qty = PyLong_AsLongLong(quantity.ptr());
    if (qty == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        throw nb::value_error(("數量過大: " + str_text(quantity)).c_str());
    }
    nb::object price = get_item(trade, k.price);
    const double price_v = to_double(price);
    if (!(price_v > 0.0) || !std::isfinite(price_v))
        throw nb::value_error(("價格必須為大於 0 的有限數值: " + str_text(price)).c_str());
    // The whole quantity bounds any remainder the fill may open after a cover.
    const FeeLookup fees = lookup_fill_fees(self, trade, type);
    std::int64_t units = 0;
    if (__builtin_mul_overflow(static_cast<std::int64_t>(qty), fees.multiplier, &units))
        throw nb::value_error(("數量過大: " + str_text(quantity)).c_str());
    const PricedFill priced = entry_fill(fees, utf8(code), price_v, qty);
    if (!std::isfinite(capital_after_entry(read_capital(self), priced.cost)))
        throw nb::value_error(("數量過大: " + str_text(quantity)).c_str());
}

// The contract month a fill names under "contract" (a str, or None for none).
std::string contract_label(nb::handle trade) {
    const nb::handle key = keys().contract;
    if (!has_item(trade, key)) return {};
    nb::object label = get_item(trade, key);
    if (label.is_none()) return {};
    expect_exact(label, &PyUnicode_Type, "contract");
    return std::string(utf8(label));
}

void set_positions(Self self, nb::handle trade, nb::handle product_type) {
    const Keys& k = keys();
    nb::handle h = self.h;
    const ProductType type = require_product_type(product_type);
    nb::object code = get_item(trade, k.code);
    expect_exact(code, &PyUnicode_Type, "code");
    const bool buy = equals(get_item(trade, k.action), k.Buy);
    check_fill(h, trade, code, type);
    const std::string contract = contract_label(trade);

    nb::object book = ensure_item(get_attr(h, k.positions), code, [&] {
        nb::dict d;
        d[k.buy] = nb::list();
        d[k.sell] = nb::list();
        return d;
    });
    ensure_item(get_attr(h, k.product_type_mapper), code, [&] { return nb::borrow(product_type); });
    nb::object stats = ensure_item(get_attr(h, k._account_infos), code, [] { return new_account_info(); });

    nb::object position = deep_copy(trade);
    LedgerFill fill{std::string(utf8(code)), contract, type, buy, int_field(position, k.quantity, "quantity")};
    fill.unit = lookup_fees(h, code, get_item(trade, k.action), type, false).multiplier;
    fill.time = record_time(trade, k.exchange_ts).value_or(std::nan(""));
    bool covered = false;
    if (nb::len(get_item(book, buy ? k.sell : k.buy)) > 0) {
        const Cover c = cover_against_book(self, position, type);
        covered = c.totals.is_covered();
        if (!covered) set_item(position, k.quantity, nb::int_(c.totals.uncovered_qty));
        book_cover(h, stats, c);
        fill.price = c.booked_price;
        fill.charges = c.charges;
        if (c.totals.uncovered_qty > 0) {
            const TradeCost opened = book_entry(self, position, stats, type, buy, c.totals.uncovered_qty, c.remainder);
            fill.price = opened.price;
            fill.charges += entry_charges(opened);
        }
    } else {
        const TradeCost opened = book_entry(self, position, stats, type, buy, fill.quantity);
        fill.price = opened.price;
        fill.charges = entry_charges(opened);
    }
    if (!covered) get_item(book, buy ? k.buy : k.sell).attr("append")(position);
    self.p->ledger.book(fill);
}

}  // namespace

void bind_positions_book(PositionsClass& cls) {
    cls.def(
        "_Positions__calculate_profit",
        [](Self self, nb::args args, nb::kwargs kwargs) {
            auto [cover_position, product_type] =
                parse_args<2>("__calculate_profit", {"cover_position", "product_type"}, 2, args, kwargs);
            expect_dict(cover_position, "cover_position");
            const ProductType type = require_product_type(product_type);
            return cover_result(cover_against_book(self, cover_position, type));
        },
        nb::sig("def _Positions__calculate_profit(self, cover_position: dict, product_type: str) -> dict"),
        "計算損益\n\ncover_position: 要平倉的部位\n"
        "回傳損益資訊: 損益金額(profit), 是否已全部沖銷(is_covered), 未沖銷數量(un_cover_qty), 交易成本(cost),\n"
        "原始損益(origin_profit, 未扣成本的價差損益).");

    cls.def(
        "set_positions",
        [](Self self, nb::args args, nb::kwargs kwargs) {
            auto [trade, product_type] =
                parse_args<2>("set_positions", {"trade", "product_type"}, 2, args, kwargs);
            expect_dict(trade, "trade");
            set_positions(self, trade, product_type);
        },
        nb::sig("def set_positions(self, trade: dict, product_type: str) -> None"),
        "設定持有部位\n\ntrade: 交易紀錄; product_type: 商品類型 (\"Stock\" 或 \"Future\").\n"
        "多於反向部位的數量在沖銷後作為新的進場記帳.");
}

}  // namespace vkb::py
