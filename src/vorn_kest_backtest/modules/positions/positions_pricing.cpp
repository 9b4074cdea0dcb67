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
    cls.def(
        "fee_settings",
        method("fee_settings", {}, [](Self self) {
            nb::object table = get_attr(self.h, keys()._fee_settings);
            if (!table.is_none() && !PyDict_Check(table.ptr())) {
                PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(table.ptr())->tp_name);
                throw nb::python_error();
            }
            return table;
        }),
        nb::sig("def fee_settings(self) -> dict"),
        "取得手續費設定 (回傳設定本身, 不是複本)");

    cls.def(
        "update_fee_settings",
        method<kind::Any, kind::Opt<kind::Any>, kind::Opt<kind::OrNone<kind::Float>>,
               kind::Opt<kind::OrNone<kind::Float>>, kind::Opt<kind::OrNone<kind::Int>>,
               kind::Opt<kind::OrNone<kind::Int>>, kind::Opt<kind::Any>>(
            "update_fee_settings",
            {"setting_type", "action", "fee", "tax", "per_trade_cost", "tick_count", "direction"},
            [](Self self, nb::handle setting_type, nb::handle action, nb::handle fee, nb::handle tax,
               nb::handle per_trade_cost, nb::handle tick_count, nb::handle direction) {
                const Keys& k = keys();
                nb::object table = get_attr(self.h, k._fee_settings);
                if (!has_item(table, setting_type)) raise_unsupported_type(setting_type);
                nb::object kind = get_item(table, setting_type);
                if (is_given(fee)) set_item(kind, k.fee, fee);
                if (is_given(tax)) set_item(kind, k.tax, tax);
                if (is_given(per_trade_cost)) set_item(kind, k.per_trade_cost, per_trade_cost);
                if (!is_given(action)) return;
                const bool buy = equals(action, k.buy), sell = equals(action, k.sell);
                if (!buy && !sell) return;
                nb::object slip = get_item(get_item(kind, k.slippage), buy ? k.buy : k.sell);
                if (is_given(tick_count)) set_item(slip, k.tick_count, tick_count);
                if (is_given(direction) && (equals(direction, k.up) || equals(direction, k.down)))
                    set_item(slip, k.direction, direction);
            }),
        nb::sig("def update_fee_settings(self, setting_type: str, action: str | None = None, fee: float | None = None, tax: float | None = None, per_trade_cost: int | None = None, tick_count: int | None = None, direction: str | None = None) -> None"),
        "設定手續費設定\n\nsetting_type: \"stock\" 或 \"future\"; action: \"buy\" 或 \"sell\" (其他值略過滑價設定);\n"
        "fee, tax: float; per_trade_cost, tick_count: int; direction: \"up\" 或 \"down\". 未給的設定不變.");

    cls.def(
        "reset_fee_settings",
        method("reset_fee_settings", {},
               [](Self self) { set_attr(self.h, keys()._fee_settings, default_fee_settings(kResetPerTradeCost)); }),
        nb::sig("def reset_fee_settings(self) -> None"),
        "重設手續費設定 (每筆固定成本為 10)");

    cls.def(
        "_Positions__apply_future_contract_value",
        method<kind::Str>("__apply_future_contract_value", {"code"},
                          [](Self, nb::handle code) { return future_contract_value(code); }),
        nb::sig("def _Positions__apply_future_contract_value(self, code: str) -> int"),
        "套用期貨合約價值 (表中沒有的代碼為 2000)");

    cls.def(
        "_Positions__calculate_trade_cost",
        method<kind::Any, kind::Any, kind::Any, kind::Any, kind::Any, kind::Opt<kind::Any>, kind::Opt<kind::Any>>(
            "__calculate_trade_cost",
            {"code", "action", "price", "quantity", "product_type", "ignore_tax", "need_reverse_direction"},
            [](Self self, nb::handle code, nb::handle action, nb::handle price, nb::handle quantity,
               nb::handle product_type, nb::handle ignore_tax, nb::handle reverse) {
                return priced_trade(self, code, action, price, quantity, product_type,
                                    ignore_tax.is_valid() && to_bool(ignore_tax),
                                    !reverse.is_valid() || to_bool(reverse));
            }),
        nb::sig("def _Positions__calculate_trade_cost(self, code: str, action: str, price: float, quantity: int, product_type: str, ignore_tax: bool = False, need_reverse_direction: bool = True) -> dict"),
        "計算交易成本\n\n回傳 fee, tax, fixed_cost, qty, min_qty, price (滑價後), origin_price.");

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

    cls.def(
        "_Positions__ceil_price_by_tick",
        method<kind::Str, kind::Any>(
            "__ceil_price_by_tick", {"code", "price"}, [](Self, nb::handle code, nb::handle price) -> nb::object {
                const GridSnap snap = ceil_to_grid(utf8(code), to_double(price));
                // Whole-unit ticks come back as ints, as a ceiling to whole units gives them.
                if (snap.tick_cents % 100 == 0)
                    return nb::make_tuple(nb::int_(snap.cents / 100), nb::int_(snap.tick_cents / 100));
                return nb::make_tuple(nb::float_(cents_to_price(snap.cents)),
                                      nb::float_(cents_to_price(snap.tick_cents)));
            }),
        nb::sig("def _Positions__ceil_price_by_tick(self, code: str, price: float) -> tuple"),
        "依照股票的價格區間, 將價格向上取整\n\n回傳 (取整後價格, 跳動單位).");

    cls.def(
        "_Positions__calculate_slippage_price",
        method<kind::Str, kind::Any, kind::Int, kind::Any>(
            "__calculate_slippage_price", {"code", "price", "tick_count", "direction"},
            [](Self, nb::handle code, nb::handle price, nb::handle tick_count, nb::handle direction) {
                const bool up = equals(direction, keys().up);
                return nb::float_(slip_price(utf8(code), to_double(price), to_int64(tick_count), up));
            }),
        nb::sig("def _Positions__calculate_slippage_price(self, code: str, price: float, tick_count: int, direction: str) -> float"),
        "計算滑價後的價格 (每一跳剛好移動一個價格單位)");
}

}  // namespace vkb::py
