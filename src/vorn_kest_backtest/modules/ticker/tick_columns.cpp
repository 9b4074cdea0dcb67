#include "tick_columns.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/py_gil.hpp"
#include "common/py_console.hpp"
#include "vkb/trade_price.hpp"

namespace vkb::py {

namespace {

template <class T>
using Column = nb::ndarray<const T, nb::ndim<1>, nb::device::cpu, nb::c_contig>;

template <class T>
Column<T> column_at(const nb::handle& columns, std::size_t i, std::size_t rows) {
    auto column = nb::cast<Column<T>>(columns[i]);
    if (column.shape(0) != rows) throw nb::value_error("Tick 欄位長度不一致");
    return column;
}

template <class T>
void copy_into(const Column<T>& column, std::vector<T>& out) {
    out.assign(column.data(), column.data() + column.shape(0));
}

// How a refused close says what it should have been and what it was.
constexpr const char* kTradePriceRule = "成交價必須是大於 0 的有限數值";

std::string price_text(double close) { return nb::cast<std::string>(nb::repr(nb::float_(close))); }

}  // namespace

std::shared_ptr<const TickBatch> batch_from_columns(const nb::handle& columns) {
    auto batch = std::make_shared<TickBatch>();
    batch->utc_offset_hours = nb::cast<int>(basic_info().attr("utc_offset_hours"));
    batch->codes = nb::cast<std::vector<std::string>>(columns[0]);
    batch->markets = nb::cast<std::vector<std::string>>(columns[1]);
    const auto ts = nb::cast<Column<std::int64_t>>(columns[2]);
    const std::size_t rows = ts.shape(0);
    const auto code_index = column_at<std::uint32_t>(columns, 3, rows);
    const auto close = column_at<double>(columns, 4, rows);
    const auto volume = column_at<std::int64_t>(columns, 5, rows);
    const auto tick_type = column_at<std::int64_t>(columns, 6, rows);
    const auto bid_price = column_at<double>(columns, 7, rows), ask_price = column_at<double>(columns, 8, rows);
    const auto bid_volume = column_at<std::int64_t>(columns, 9, rows);
    const auto ask_volume = column_at<std::int64_t>(columns, 10, rows);
    if (batch->markets.size() != batch->codes.size()) throw nb::value_error("Tick 代碼與市場數量不一致");
    {
        ExitSafeGilRelease unlocked;
        copy_into(ts, batch->ts_ns);
        copy_into(code_index, batch->code_index);
        copy_into(close, batch->close);
        copy_into(volume, batch->volume);
        copy_into(tick_type, batch->tick_type);
        copy_into(bid_price, batch->bid_price);
        copy_into(ask_price, batch->ask_price);
        copy_into(bid_volume, batch->bid_volume);
        copy_into(ask_volume, batch->ask_volume);
    }
    for (const std::uint32_t code : batch->code_index)
        if (code >= batch->codes.size()) throw nb::value_error("Tick 代碼索引超出範圍");
    if (const auto row = first_bad_trade_price(batch->close))
        throw nb::value_error(("Tick 資料表第 " + std::to_string(*row + 1) + " 筆無法回放: " + kTradePriceRule +
                               ", 實際為 " + price_text(batch->close[*row]))
                                  .c_str());
    return batch;
}

}  // namespace vkb::py
