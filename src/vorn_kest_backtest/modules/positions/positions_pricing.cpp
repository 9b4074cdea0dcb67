// Fee settings, the price grid, slippage and the cost of a fill.
#include <optional>
#include <string>

#include "common/py_args.hpp"
#include "common/py_modules.hpp"
#include "positions_support.hpp"
#include "vkb/broker_fees.hpp"
#include "vkb/price_grid.hpp"

namespace vkb::py {

namespace {

nb::dict default_kind(nb::object fee, nb::object tax, std::int64_t per_trade_cost) {
    const Keys& k = keys();
    nb::dict buy, sell, slippage, kind;
    buy[k.tick_count] = nb::int_(kDefaultSlipTicks);
    buy[k.direction] = k.up;
    sell[k.tick_count] = nb::int_(kDefaultSlipTicks);
    sell[k.direction] = k.down;
    slippage[k.buy] = buy;
    slippage[k.sell] = sell;
    kind[k.fee] = fee;
    kind[k.tax] = tax;
    kind[k.per_trade_cost] = nb::int_(per_trade_cost);
    kind[k.slippage] = slippage;
    return kind;
}

// Action text to its settings key: ASCII folds here, anything else goes through str.lower().
nb::object action_key(nb::handle action) {
    if (PyUnicode_Check(action.ptr()) && PyUnicode_IS_ASCII(action.ptr())) {
        std::string lower(utf8(action));
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (lower == "buy") return nb::borrow(keys().buy);
        if (lower == "sell") return nb::borrow(keys().sell);
        return nb::str(lower.c_str(), lower.size());
    }
    return action.attr("lower")();
}

std::string_view code_text(nb::handle code) {
    expect_exact(code, &PyUnicode_Type, "code");
    return utf8(code);
}

nb::object constant_module() { return loaded_module("vorn_kest_backtest.constant"); }

nb::dict trade_cost_record(const PricedFill& f, nb::handle quantity, bool ignore_tax) {
    const Keys& k = keys();
    nb::dict r;
    r[k.fee] = nb::float_(f.cost.fee);
    r[k.tax] = ignore_tax ? nb::object(nb::int_(0)) : nb::object(nb::float_(f.cost.tax));
    r[k.fixed_cost] = f.fixed_cost;
    r[k.qty] = quantity;
    r[k.min_qty] = nb::int_(f.cost.min_qty);
    r[k.price] = nb::float_(f.cost.price);
    r[k.origin_price] = nb::float_(f.cost.origin_price);
    return r;
}

}  // namespace

nb::dict default_fee_settings(std::int64_t per_trade_cost) {
    const Keys& k = keys();
    nb::dict table;
    table[k.stock] = default_kind(nb::float_(kFlatStockFeeRate), nb::float_(kFlatStockTaxRate), per_trade_cost);
    table[k.future] = default_kind(nb::float_(kFlatFuturesFeeRate), nb::float_(kFlatFuturesTaxRate), per_trade_cost);
    return table;
}

nb::object future_contract_value(nb::handle code) {
    nb::object table = constant_module().attr("FutureIndexContractValue");
    if (has_item(table, code)) return get_item(table, code);
    return nb::int_(kDefaultContractValue);
}

FeeLookup lookup_fees(nb::handle self, nb::handle code, nb::handle action, ProductType type, bool reverse) {
    const Keys& k = keys();
    nb::object kind = get_item(get_attr(self, k._fee_settings), type == ProductType::Stock ? k.stock : k.future);
    nb::object slip = get_item(get_item(kind, k.slippage), action_key(action));
    nb::object direction = get_item(slip, k.direction);
    FeeLookup out;
    FeeSettings settings;
    settings.fee_rate = to_double(get_item(kind, k.fee));
    settings.tax_rate = to_double(get_item(kind, k.tax));
    out.fixed_cost = get_item(kind, k.per_trade_cost);
    settings.fixed_cost = to_double(out.fixed_cost);
    settings.slip_ticks = to_int64(get_item(slip, k.tick_count));
    if (PyUnicode_Check(direction.ptr())) settings.direction = utf8(direction);
    const bool futures = type == ProductType::Future;
    if (futures) out.multiplier = to_int64(future_contract_value(code));
    const std::string_view code_sv = futures ? utf8(code) : std::string_view();
    out.rule = resolve_fee_rule(settings, code_sv, futures, equals(action_key(action), k.sell), reverse,
                                nb::inst_ptr<Positions>(self)->broker);
    return out;
}

namespace {

// None: no limit.
std::optional<double> limit_value(nb::handle limit) {
    if (limit.is_none()) return std::nullopt;
    const double value = to_double(limit);
    if (!is_tradable_price(value))
        throw nb::value_error(("限價必須為大於 0 的有限數值: " + str_text(limit)).c_str());
    return value;
}

}  // namespace

std::optional<double> fill_limit(nb::handle record) {
    const Keys& k = keys();
    if (!has_item(record, k.limit_price)) return std::nullopt;
    return limit_value(get_item(record, k.limit_price));
}

FeeLookup lookup_fill_fees(nb::handle self, nb::handle record, ProductType type) {
    const Keys& k = keys();
    FeeLookup fees = lookup_fees(self, get_item(record, k.code), get_item(record, k.action), type, false);
    fees.rule.limit_price = fill_limit(record);
    return fees;
}

namespace {

// A fill priced with the account's fee settings; `reverse` slips against the order's direction.
nb::dict priced_trade(Self self, nb::handle code, nb::handle action, nb::handle price, nb::handle quantity,
                      nb::handle product_type, bool ignore_tax, bool reverse,
                      std::optional<double> limit = std::nullopt) {
    const std::string_view code_sv = code_text(code);
    const double price_v = to_double(price);
    expect_exact(quantity, &PyLong_Type, "quantity");
    const ProductType type = require_product_type(product_type);
    FeeLookup fees = lookup_fees(self.h, code, action, type, reverse);
    fees.rule.limit_price = limit;
    PricedFill fill{compute_trade_cost(code_sv, price_v, to_int64(quantity), fees.multiplier, fees.rule, ignore_tax),
                    fees.fixed_cost};
    return trade_cost_record(fill, quantity, ignore_tax);
}

}  // namespace

void bind_positions_pricing(PositionsClass& cls) {
    // A new table; a reset one charges kResetPerTradeCost per trade.
    cls.def_static("_fee_table", [](bool reset) { return default_fee_settings(reset ? kResetPerTradeCost : 0); });
    cls.def_static("_contract_value", [](nb::str code) { return future_contract_value(code); });

    cls.def("_trade_cost", [](Self self, nb::handle code, nb::handle action, nb::handle price, nb::handle quantity,
                              nb::handle product_type, bool ignore_tax, bool reverse) {
        return priced_trade(self, code, action, price, quantity, product_type, ignore_tax, reverse);
    }, nb::arg("code").none(), nb::arg("action").none(), nb::arg("price").none(), nb::arg("quantity").none(),
       nb::arg("product_type").none(), nb::arg("ignore_tax"), nb::arg("reverse"));

    cls.def(
        "entry_cost",
        [](Self self, nb::handle code, nb::handle action, nb::handle price, nb::handle quantity,
           nb::handle product_type, bool ignore_tax, nb::handle limit_price) {
            return priced_trade(self, code, action, price, quantity, product_type, ignore_tax, false,
                                limit_value(limit_price));
        },
        nb::arg("code"), nb::arg("action"), nb::arg("price"), nb::arg("quantity"), nb::arg("product_type"),
        nb::kw_only(), nb::arg("ignore_tax") = false, nb::arg("limit_price").none() = nb::none(),
        nb::sig("def entry_cost(self, code: str, action: str, price: float, quantity: int, product_type: str, *, "
                "ignore_tax: bool = False, limit_price: float | None = None) -> dict"),
        "以目前的手續費設定計算一筆成交的成本, 滑價依委託本身的方向 (買進向上, 賣出向下).\n\n"
        "回傳 fee, tax, fixed_cost, qty, min_qty, price (滑價後), origin_price; ignore_tax 時不計稅;\n"
        "limit_price: 限價單的限價, 滑價後的價格不會比它差.");

    cls.def_static("_ceil_price", [](nb::str code, nb::handle price) -> nb::object {
        const GridSnap snap = ceil_to_grid(utf8(code), to_double(price));
        // Whole-unit ticks come back as ints, as a ceiling to whole units gives them.
        if (snap.tick_cents % 100 == 0)
            return nb::make_tuple(nb::int_(snap.cents / 100), nb::int_(snap.tick_cents / 100));
        return nb::make_tuple(nb::float_(cents_to_price(snap.cents)), nb::float_(cents_to_price(snap.tick_cents)));
    }, nb::arg("code"), nb::arg("price").none());

    cls.def_static("_slip_price", [](nb::str code, nb::handle price, nb::handle tick_count, bool up) {
        return slip_price(utf8(code), to_double(price), to_int64(tick_count), up);
    }, nb::arg("code"), nb::arg("price").none(), nb::arg("tick_count"), nb::arg("up"));
}

}  // namespace vkb::py
