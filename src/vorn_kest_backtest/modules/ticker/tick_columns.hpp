#pragma once
// A day's replayed columns, as Python hands them over, into the replay engine's batch.
#include <nanobind/nanobind.h>

#include <memory>

#include "vkb/tick_batch.hpp"

namespace vkb::py {

namespace nb = nanobind;

// `columns`: (codes, markets, ts, code_index, close, volume, tick_type, bid_price, ask_price, bid_volume,
// ask_volume), the last nine 1-d numpy arrays of one length. A bad close is refused (ValueError), never replayed.
std::shared_ptr<const TickBatch> batch_from_columns(const nb::handle& columns);

}  // namespace vkb::py
