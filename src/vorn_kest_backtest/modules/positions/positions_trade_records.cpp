// The record every order, deal or cancel leaves in trade_records, its time as the exchange's.
#include <cmath>

#include "positions_support.hpp"
#include "vkb/civil_time.hpp"
#include "vkb/exchange_time.hpp"

namespace vkb::py {

namespace {

nb::dict make_trade_record(nb::handle trade_id, nb::handle code, nb::handle action, nb::handle quantity,
                           nb::handle price, nb::handle timestamp, nb::handle trade_status, nb::handle utc_offset) {
    const double price_v = to_double(price);
    const double ts = to_double(timestamp);
    const int offset = static_cast<int>(to_int64(utc_offset));
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
    cls.def_static("_trade_record", &make_trade_record, nb::arg("trade_id"), nb::arg("code"),
                   nb::arg("action").none(), nb::arg("quantity"), nb::arg("price").none(),
                   nb::arg("timestamp").none(), nb::arg("trade_status").none(), nb::arg("utc_offset_hours"));
}

}  // namespace vkb::py
