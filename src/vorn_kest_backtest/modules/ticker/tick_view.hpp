#pragma once
// Ticks as the replay driver takes them from a Ticker's engine: numbers and borrowed str objects,
// with no record built.
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vkb::py {

// One replayed tick; `code` and `market` are borrowed str objects, alive at least until the next
// pop (take a reference to keep them).
struct TickView {
    PyObject* code;
    PyObject* market;
    double timestamp;
    double close;
    double bid_price;  // NaN when the tick carries no quote
    double ask_price;
    long long bid_volume;  // 0 where the tick carries no size
    long long ask_volume;
    long long qty;
    long long tick_type;
    int backfilling;
};

// Live ticks leased to the driver as the batch's columns, rows [begin, begin + count). The columns and
// the str objects (by code_index) stay valid until the lease is settled, which must happen before any
// call into Python.
struct TickSpan {
    const std::int64_t* ts_ns;
    const double* close;
    const double* bid_price;
    const double* ask_price;
    const std::int64_t* bid_volume;
    const std::int64_t* ask_volume;
    const std::int64_t* volume;
    const std::int64_t* tick_type;
    const std::uint32_t* code_index;
    PyObject* const* codes;
    PyObject* const* markets;
    int utc_offset_hours;
    std::size_t begin;
    std::size_t count;
};

// A row's numbers from a batch's columns (a TickBatch or a TickSpan): everything but the names, the time
// and the backfilling flag, which each source gives its own way.
template <class Columns>
void copy_row_numbers(const Columns& columns, std::size_t row, TickView& out) {
    out.close = columns.close[row];
    out.bid_price = columns.bid_price[row];
    out.ask_price = columns.ask_price[row];
    out.bid_volume = columns.bid_volume[row];
    out.ask_volume = columns.ask_volume[row];
    out.qty = columns.volume[row];
    out.tick_type = columns.tick_type[row];
}

// What a pop gave.
enum class TickItem {
    Tick,    // the view is filled
    Exit,    // the end-of-replay status
    Status,  // another status record (it took no permit)
    Object,  // a record put into the queue by Python
};

}  // namespace vkb::py
