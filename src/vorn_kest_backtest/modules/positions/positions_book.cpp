// Position keeping: a fill covers the opposite entries of its code first in, first out, and what is
// left opens an entry. The book and its money are vkb::PositionBook; this file reads the fill,
// prices it with the account's settings, tells its console lines and keeps the records.
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
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/py_args.hpp"
#include "common/py_console.hpp"
#include "common/py_modules.hpp"
#include "positions_support.hpp"

namespace vkb::py {

namespace {

bool is_scalar(nb::handle v) {
    return nb::isinstance<nb::str>(v) || nb::isinstance<nb::int_>(v) || nb::isinstance<nb::float_>(v) || v.is_none();
}

nb::object deep_copy(nb::handle trade) {
    // A dict of immutable scalars deep-copies to a plain copy; anything else goes to copy.deepcopy.
    if (trade.type().is(&PyDict_Type)) {
        nb::dict d = nb::borrow<nb::dict>(trade);
        bool flat = true;
        for (auto [key, value] : d) flat = flat && is_scalar(value);
        if (flat) {
            PyObject* copy = PyDict_Copy(d.ptr());
            if (!copy) throw nb::python_error();
            return nb::steal(copy);
        }
    }
    return loaded_module("copy").attr("deepcopy")(trade);
}

std::int64_t int_field(nb::handle record, nb::handle key, const char* name) {
    nb::object v = get_item(record, key);
    expect_exact(v, &PyLong_Type, name);
    return to_int64(v);
}

double read_capital(nb::handle self) { return to_double(get_attr(self, keys().current_capital)); }

void write_capital(nb::handle self, double capital) { set_attr(self, keys().current_capital, nb::float_(capital)); }

const SideBook& code_book(const Positions& p, nb::handle code) {
    const SideBook* sides = p.book.codes().find(utf8(code));
    if (!sides) throw nb::key_error(str_text(code).c_str());
    return *sides;
}

// The console lines of one fill, told in the order they happen; null when the console is quiet.
using FillLines = std::vector<std::string>*;

// Matches the covering position against the opposite entries. Every pair is priced, told and its
// row fields read before the book is touched, so a failure leaves book and report as they were.
CoverPlan cover_against_book(Self self_, nb::handle cover, ProductType type, FillLines lines) {
    nb::handle self = self_.h;
    Positions& p = *self_.p;
    const Keys& k = keys();
    nb::object code = get_item(cover, k.code);
    expect_exact(code, &PyUnicode_Type, "code");
    const std::string_view code_sv = utf8(code);
    const bool covering_buy = equals(get_item(cover, k.action), k.Buy);
    const std::deque<OpenEntry>& opposite = code_book(p, code).side(!covering_buy);

    const std::int64_t qty = int_field(cover, k.quantity, "quantity");
    CoverPricing pricing;
    pricing.exit_price = to_double(get_item(cover, k.price));
    const FeeLookup exit_fees = lookup_fill_fees(self, cover, type);
    const FeeLookup entry_fees = lookup_fees(self, code, covering_buy ? k.sell : k.buy, type, false);
    pricing.exit_rule = exit_fees.rule;
    pricing.entry_rule = entry_fees.rule;
    pricing.multiplier = exit_fees.multiplier;
    if (exit_fees.rule.broker) {
        pricing.exit_time = record_time(cover, k.exchange_ts);
        pricing.utc_offset_hours = static_cast<int>(to_int64(basic_info().attr("utc_offset_hours")));
    }
    const CoverPlan plan = p.book.plan_cover(code_sv, covering_buy, qty, pricing);

    const std::string cover_line = lines ? "[green]沖銷部位: " + str_text(cover) + "[/green]" : std::string();
    std::vector<RowFields> fields;
    std::vector<nb::object> matched;
    for (std::size_t i = 0; i < plan.pairs.size(); ++i) {
        nb::object entry = p.records.at(opposite[i].id);
        if (lines) {
            lines->push_back(cover_line);
            lines->push_back("[yellow]被沖銷部位: " + str_text(entry) + "[/yellow]");
        }
        const MatchedPair& pair = plan.pairs[i];
        fields.push_back({code, get_item(entry, k.action), get_item(entry, k.exchange_ts), get_item(entry, k.price),
                          get_item(entry, k.origin_price), get_item(cover, k.action), get_item(cover, k.exchange_ts),
                          get_item(cover, k.price), get_item(cover, k.origin_price),
                          exit_fees.rule.broker ? nb::float_(pair.exit.fixed_cost) : exit_fees.fixed_cost,
                          opposite[i].booked ? nb::float_(pair.entry.fixed_cost) : entry_fees.fixed_cost});
        matched.push_back(entry);
    }

    p.book.apply_cover(code_sv, plan);
    p.row_fields.insert(p.row_fields.end(), fields.begin(), fields.end());
    for (std::size_t i = 0; i < plan.pairs.size(); ++i) {
        set_item(matched[i], k.quantity, nb::int_(plan.pairs[i].left));
        if (plan.pairs[i].left == 0) p.records.erase(plan.pairs[i].entry_id);
    }
    return plan;
}

nb::dict cover_result(const CoverPlan& c) {
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

// Entry of `qty` of the position: its principal and entry costs leave the account. `priced` is
// the entry's part of a fill already charged by a cover. Returns what the entry was priced at.
TradeCost book_entry(Self self_, nb::handle position, ProductType type, bool buy, std::int64_t qty, FillLines lines,
                     const std::optional<TradeCost>& priced = std::nullopt) {
    nb::handle self = self_.h;
    Positions& p = *self_.p;
    const Keys& k = keys();
    nb::object code = get_item(position, k.code);
    const FeeLookup fees = lookup_fill_fees(self, position, type);
    const double price = to_double(get_item(position, k.price));
    const TradeCost cost = priced ? *priced : entry_side_cost(utf8(code), price, qty, fees.multiplier, fees.rule);
    OpenEntry entry{p.book.next_id(), qty, price, fees.rule.limit_price, record_time(position, k.exchange_ts), {}};
    p.book.capital = read_capital(self);
    p.book.open(utf8(code), buy, entry, cost, fees.multiplier);
    p.records.emplace(entry.id, nb::borrow(position));
    write_capital(self, p.book.capital);
    if (!lines) return cost;
    lines->push_back(std::string(buy ? "[bold pink1][做多進場]本金: " : "[bold pink1][做空進場]本金: ") +
                  float_text(p.book.capital) + (buy ? ", 進場價金: " : ", 應付金額: ") +
                  float_text(traded_amount(cost)) + ", 進場成本: " + float_text(entry_charges(cost)) +
                  "[/bold pink1]");
    return cost;
}

void book_cover(nb::handle self, Positions& p, std::string_view code, const CoverPlan& c, FillLines lines) {
    const CoverTotals& t = c.totals;
    p.book.capital = read_capital(self);
    p.book.settle_cover(code, c);
    write_capital(self, p.book.capital);
    if (!lines) return;
    lines->push_back(std::string(c.covering_buy ? "[bold yellow][做空沖銷]本金: " : "[bold yellow][做多沖銷]本金: ") +
                  float_text(p.book.capital) + (c.covering_buy ? ", 出場價金: " : ", 回收價金: ") +
                  float_text(t.exit_total) + ", 損益: " + float_text(t.profit) +
                  ", 出場成本: " + float_text(t.exit_cost_total) + "[/bold yellow]");
}

// Refuses a fill no account can book, before anything changes: a quantity that is not a positive
// integer, a price that is not tradable, or a size the account cannot count (vkb::fill_too_large;
// the whole quantity bounds any remainder the fill may open after a cover).
void check_fill(nb::handle self, nb::handle trade, nb::handle code, ProductType type) {
    const Keys& k = keys();
    nb::object quantity = get_item(trade, k.quantity);
    expect_exact(quantity, &PyLong_Type, "quantity");
    if (quantity <= nb::int_(0)) throw nb::value_error(("數量必須為正整數: " + str_text(quantity)).c_str());
    std::int64_t qty = 0;
    const bool fits = nb::try_cast<std::int64_t>(quantity, qty);
    if (fits) {
        nb::object price = get_item(trade, k.price);
        const double price_v = to_double(price);
        if (!is_tradable_price(price_v))
            throw nb::value_error(("價格必須為大於 0 的有限數值: " + str_text(price)).c_str());
        const FeeLookup fees = lookup_fill_fees(self, trade, type);
        if (!fill_too_large(utf8(code), price_v, qty, fees.multiplier, fees.rule, read_capital(self))) return;
    }
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

// Books a fill; returns the console lines it tells (none when not `loud`) for the caller to print.
std::vector<std::string> set_positions(Self self, nb::handle trade, nb::handle product_type, bool loud) {
    const Keys& k = keys();
    nb::handle h = self.h;
    Positions& p = *self.p;
    const ProductType type = require_product_type(product_type);
    nb::object code = get_item(trade, k.code);
    expect_exact(code, &PyUnicode_Type, "code");
    const std::string code_s(utf8(code));
    const bool buy = equals(get_item(trade, k.action), k.Buy);
    check_fill(h, trade, code, type);
    const std::string contract = contract_label(trade);

    const SideBook& sides = p.book.sides(code_s);
    nb::object mapper = get_attr(h, k.product_type_mapper);
    if (!has_item(mapper, code)) set_item(mapper, code, product_type);
    p.book.stats_of(code_s);

    nb::object position = deep_copy(trade);
    LedgerFill fill{code_s, contract, type, buy, int_field(position, k.quantity, "quantity")};
    fill.unit = lookup_fees(h, code, get_item(trade, k.action), type, false).multiplier;
    fill.time = record_time(trade, k.exchange_ts).value_or(std::nan(""));
    std::vector<std::string> told;
    const FillLines lines = loud ? &told : nullptr;
    if (!sides.side(!buy).empty()) {
        const CoverPlan c = cover_against_book(self, position, type, lines);
        const std::int64_t uncovered = c.totals.uncovered_qty;
        if (uncovered > 0) set_item(position, k.quantity, nb::int_(uncovered));
        book_cover(h, p, code_s, c, lines);
        fill.price = c.booked_price;
        fill.charges = c.charges;
        if (uncovered > 0) {
            const TradeCost opened = book_entry(self, position, type, buy, uncovered, lines, c.remainder);
            fill.price = opened.price;
            fill.charges += entry_charges(opened);
        }
    } else {
        const TradeCost opened = book_entry(self, position, type, buy, fill.quantity, lines);
        fill.price = opened.price;
        fill.charges = entry_charges(opened);
    }
    refresh_account_record(p, code_s);
    p.ledger.book(fill);
    return told;
}

}  // namespace

void bind_positions_book(PositionsClass& cls) {
    cls.def("_calculate_profit", [](Self self, nb::dict cover_position, nb::handle product_type, bool loud) {
        const ProductType type = require_product_type(product_type);
        std::vector<std::string> told;
        nb::dict result = cover_result(cover_against_book(self, cover_position, type, loud ? &told : nullptr));
        return std::make_pair(result, told);
    }, nb::arg("cover_position"), nb::arg("product_type").none(), nb::arg("loud"));
    cls.def("_set_positions", &set_positions, nb::arg("trade"), nb::arg("product_type").none(), nb::arg("loud"));
}

}  // namespace vkb::py
