#pragma once
// Shared pieces of the PositionsCore binding. The book (open entries, profit rows, statistics) lives in
// vkb_core; the Python class Positions over it shows it through mapping views (book_views.py) and keeps
// the fee settings, trade records and ticks as plain Python objects a strategy may edit.
#include <nanobind/nanobind.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/py_args.hpp"
#include "records/product_type.hpp"
#include "vkb/accounting.hpp"
#include "vkb/ledger.hpp"
#include "vkb/position_book.hpp"
#include "vkb/trade_cost.hpp"

namespace vkb::py {

namespace nb = nanobind;

// What a profit row shows as the caller gave it: the two records' fields and the fixed costs (the
// settings' own object, or the booked amount).
struct RowFields {
    nb::object code, entry_action, entry_dt, entry_price, entry_origin_price;
    nb::object exit_action, exit_dt, exit_price, exit_origin_price, cover_fixed, trade_fixed;
};

// Every attribute lives in the instance dict except the request flag, which another thread may
// read or clear while a position request is answered: it is an atomic behind a property.
struct Positions {
    std::atomic<bool> wait_fetch_position_response{false};
    PositionBook book;
    // The record of each open entry by its id: the fill as given, its quantity kept in step.
    std::unordered_map<std::uint64_t, nb::object> records;
    std::vector<RowFields> row_fields;  // one per book.rows()
    // Built on first read and kept, so a row or a code's statistics is one object over time.
    std::vector<nb::object> row_dicts;
    std::unordered_map<std::string, nb::object> stats_dicts;
    // Set by use_fee_profile("tw_broker"): the broker's charges replace the fee and tax rates.
    std::optional<BrokerFees> broker;
    // The account as a whole, fed with every fill booked here (Positions.ledger).
    Ledger ledger;

    Positions() = default;
    Positions(const Positions&) = delete;
    Positions& operator=(const Positions&) = delete;
};
using PositionsClass = nb::class_<Positions>;
using Self = nb::pointer_and_handle<Positions>;

// Interned attribute and record keys, made once and kept for the life of the process.
struct Keys {
#define VKB_KEY(name) nb::handle name;
#include "positions_keys.def"
#undef VKB_KEY
};
const Keys& keys();

nb::object get_attr(nb::handle obj, nb::handle name);
void set_attr(nb::handle obj, nb::handle name, nb::handle value);
nb::object get_item(nb::handle obj, nb::handle key);
void set_item(nb::handle obj, nb::handle key, nb::handle value);
bool has_item(nb::handle obj, nb::handle key);
// Python ==, so str subclasses such as Action.BUY compare by value.
bool equals(nb::handle a, nb::handle b);

// Python's str() of a float (98500.0, 1e+16), which the console lines quote.
std::string float_text(double value);
std::string str_text(nb::handle value);

// "Stock" or "Future"; anything else is a ValueError "不支援的商品類型: " + value.
ProductType require_product_type(nb::handle value);
[[noreturn]] void raise_unsupported_type(nb::handle value);
// The plain Exception type, for refusals the account reports without a narrower class.
[[noreturn]] void raise_exception(const std::string& text);

nb::dict new_account_info();
// The code's statistics record, made on first read and brought up to date with the book.
nb::object account_record(Positions& p, const std::string& code);
// Brings the code's record up to date, when one was handed out.
void refresh_account_record(Positions& p, const std::string& code);
nb::dict default_fee_settings(std::int64_t per_trade_cost);

// A fill priced under the current fee settings; fixed_cost keeps the settings' own object.
struct PricedFill {
    TradeCost cost;
    nb::object fixed_cost;
};

// Reads the settings of the product kind and action at every call (a strategy may edit them).
struct FeeLookup {
    FeeRule rule;
    nb::object fixed_cost;
    std::int64_t multiplier = kSharesPerLot;
};
FeeLookup lookup_fees(nb::handle self, nb::handle code, nb::handle action, ProductType type, bool reverse);
// A fill's limit, from its optional "limit_price" key (absent or None: a fill without one). A limit
// that is not a positive finite number is refused with a ValueError naming it.
std::optional<double> fill_limit(nb::handle record);
// The settings for a fill or position record: its code and action, slipped in its own direction,
// within its limit when it has one.
FeeLookup lookup_fill_fees(nb::handle self, nb::handle record, ProductType type);
// The epoch time a record holds under `key`; none when it has no readable time.
std::optional<double> record_time(nb::handle record, nb::handle key);
nb::object future_contract_value(nb::handle code);

// A ledger priced with the package's margin table and the exchange calendar.
void prepare_ledger(Ledger& ledger);
// The yellow line for each margin family priced before its table's first row, once per ledger.
void print_margin_notices(Ledger& ledger);

void bind_positions_pricing(PositionsClass& cls);
void bind_positions_fee_profile(PositionsClass& cls);
void bind_positions_trade_records(PositionsClass& cls);
void bind_positions_book(PositionsClass& cls);
void bind_positions_book_access(PositionsClass& cls);
void bind_positions_views(PositionsClass& cls);

}  // namespace vkb::py
