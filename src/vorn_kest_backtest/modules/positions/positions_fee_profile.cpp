// Fee profiles: the literal default fee table ("table") or a Taiwan broker's bill ("tw_broker").
#include <cmath>
#include <string>

#include "common/py_args.hpp"
#include "common/py_console.hpp"
#include "common/rule_text.hpp"
#include "positions_support.hpp"
#include "vkb/broker_fees.hpp"

namespace vkb::py {

namespace {

constexpr const char* kTableProfile = "table";
constexpr const char* kBrokerProfile = "tw_broker";

// An int or a float (a bool is neither), finite, not negative and at most `most`.
double profile_number(nb::handle value, const char* name, const char* message, double most) {
    const bool number = (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) || PyFloat_Check(value.ptr());
    if (!number) raise_arg_type(name, "float", value);
    const double v = PyFloat_AsDouble(value.ptr());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        throw nb::value_error((std::string(message) + str_text(value)).c_str());
    }
    if (!std::isfinite(v) || v < 0.0 || v > most) throw nb::value_error((std::string(message) + str_text(value)).c_str());
    return v;
}

double given_or(nb::handle value, double fallback, const char* name, const char* message, double most) {
    return is_given(value) ? profile_number(value, name, message, most) : fallback;
}

// The help text states the rates the core charges, so it cannot drift from them.
const std::string& fee_profile_doc() {
    static const std::string doc =
        "選擇手續費方案\n\n"
        "\"tw_broker\": 股票手續費 = floor(" + percent_text(kBrokerStockFeeRate) + " x 成交金額 x 折扣), 每筆至少 min_fee; "
        "賣出證交稅 股票 " + percent_text(kShareSellTaxRate) + ",\n"
        "ETF (代碼 00 開頭) " + percent_text(kEtfSellTaxRate) + ", 同一交易日內沖銷 (現股當沖) " +
        percent_text(kDayTradeSellTaxRate) + "; 手續費與證交稅無條件捨去至元;\n"
        "期貨每口每邊 future_fee_per_contract 加期交稅: 每口 " + percent_text(kFuturesTaxRate) +
        " x 契約價值四捨五入至元, 再乘以口數.\n"
        "滑價與每筆固定成本仍依手續費設定.\n"
        "\"table\": 依手續費設定表的費率 (預設).";
    return doc;
}

}  // namespace

std::optional<double> record_time(nb::handle record, nb::handle key) {
    if (!record.is_valid() || !PyDict_Check(record.ptr()) || !has_item(record, key)) return std::nullopt;
    const double ts = PyFloat_AsDouble(get_item(record, key).ptr());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (!std::isfinite(ts)) return std::nullopt;
    return ts;
}

void bind_positions_fee_profile(PositionsClass& cls) {
    const BrokerFees defaults;
    cls.attr("_BROKER_FEE_DEFAULTS") =
        nb::make_tuple(defaults.fee_discount, defaults.min_fee, defaults.future_fee_per_contract);
    cls.attr("_FEE_PROFILE_DOC") = nb::str(fee_profile_doc().c_str());

    // None or left out: the profile's default.
    cls.def("_use_fee_profile", [](Positions& p, nb::str name, nb::handle discount, nb::handle min_fee,
                                   nb::handle per_contract) {
        const BrokerFees defaults;
        constexpr double kAny = HUGE_VAL;
        BrokerFees fees;
        fees.fee_discount =
            given_or(discount, defaults.fee_discount, "fee_discount", "手續費折扣必須介於 0 與 1 之間: ", 1.0);
        fees.min_fee = given_or(min_fee, defaults.min_fee, "min_fee", "最低手續費必須為非負的有限數值: ", kAny);
        fees.future_fee_per_contract = given_or(per_contract, defaults.future_fee_per_contract,
                                                "future_fee_per_contract", "期貨每口手續費必須為非負的有限數值: ", kAny);
        const std::string_view chosen = utf8(name);
        if (chosen == kBrokerProfile) p.broker = fees;
        else if (chosen == kTableProfile) p.broker.reset();
        else {
            const std::string accepted = std::string(kBrokerProfile) + ", " + kTableProfile;
            throw nb::value_error(("不支援的手續費方案 (可用 " + accepted + "): " + str_text(name)).c_str());
        }
    }, nb::arg("name"), nb::arg("fee_discount").none(), nb::arg("min_fee").none(),
       nb::arg("future_fee_per_contract").none());

    cls.def_prop_ro(
        "fee_profile",
        [](Positions& p) {
            nb::dict d;
            if (!p.broker) {
                d["name"] = kTableProfile;
                return d;
            }
            d["name"] = kBrokerProfile;
            d["fee_discount"] = p.broker->fee_discount;
            d["min_fee"] = p.broker->min_fee;
            d["future_fee_per_contract"] = p.broker->future_fee_per_contract;
            return d;
        },
        "使用中的手續費方案 (名稱與參數, 每次回傳新的 dict)");
}

}  // namespace vkb::py
