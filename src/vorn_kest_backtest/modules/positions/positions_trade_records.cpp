// The record every order, deal or cancel leaves in trade_records.
#include "common/py_args.hpp"
#include "common/py_console.hpp"
#include "positions_support.hpp"
#include <cmath>

#include "vkb/civil_time.hpp"
#include "vkb/exchange_time.hpp"

namespace vkb::py {

namespace {

constexpr std::array<const char*, 7> kRecordParams{"trade_id", "code", "action", "quantity",
                                                   "price", "timestamp", "trade_status"};

nb::dict make_trade_record(const char* fn, const nb::args& args, const nb::kwargs& kwargs) {
    auto [trade_id, code, action, quantity, price, timestamp, trade_status] =
        parse_args<7>(fn, kRecordParams, 7, args, kwargs);
    expect_exact(trade_id, &PyUnicode_Type, "trade_id");
    expect_exact(code, &PyUnicode_Type, "code");
    expect_exact(quantity, &PyLong_Type, "quantity");
    const double price_v = to_double(price);
    const double ts = to_double(timestamp);
    const int offset = static_cast<int>(to_int64(basic_info().attr("utc_offset_hours")));
    // NaN and values no platform clock holds keep their own errors; the rest must be a date.
    if (std::fabs(ts) < 1e17 && !wall_clock_in_range(ts, offset))
        throw nb::value_error(("時間戳記超出範圍 (須在西元 1 年至 9999 年之間): " + float_text(ts)).c_str());
    const std::string dt = format_exchange_datetime(ts, offset);
    const Keys& k = keys();
    nb::dict r;
    r[k.trade_id] = trade_id;
    r[k.code] = code;
    r[k.action] = action;
    r[k.quantity] = quantity;
    r[k.price] = nb::float_(price_v);
    r[k.dt] = nb::str(dt.c_str(), dt.size());
    r[k.trade_status] = trade_status;
    return r;
}

}  // namespace

void bind_positions_trade_records(PositionsClass& cls) {
    cls.def(
        "_Positions__make_trade_record",
        [](Self, nb::args args, nb::kwargs kwargs) { return make_trade_record("__make_trade_record", args, kwargs); },
        nb::sig("def _Positions__make_trade_record(self, trade_id: str, code: str, action: str, quantity: int, price: float, timestamp: float, trade_status: str) -> dict"),
        "建立交易紀錄\n\ndt 為交易所時間 \"%Y-%m-%d %H:%M:%S.%f\".");
    cls.def(
        "add_trade_record",
        [](Self self, nb::args args, nb::kwargs kwargs) {
            nb::dict record = make_trade_record("add_trade_record", args, kwargs);
            get_attr(self.h, keys().trade_records).attr("append")(record);
        },
        nb::sig("def add_trade_record(self, trade_id: str, code: str, action: str, quantity: int, price: float, timestamp: float, trade_status: str) -> None"),
        "加入交易紀錄");
}

}  // namespace vkb::py
