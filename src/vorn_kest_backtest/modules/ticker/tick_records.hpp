#pragma once
// Python records handed out by the replay: tick records and status records.
#include <nanobind/nanobind.h>

#include <memory>
#include <vector>

#include "tick_view.hpp"
#include "vkb/replay_engine.hpp"

namespace vkb::py {

namespace nb = nanobind;
using Engine = ReplayEngine<nb::object>;

// Builds the record of a queue item. Keeps the str objects of the last batches' codes and markets
// so a tick record costs one presized dict and four numbers. Call with the GIL held.
class RecordBuilder {
public:
    nb::object build(Engine::Item&& item);
    nb::object status_record(ReplayStatus status);
    // The tick as numbers and the batch's str objects (kept while the batch is one of the last two).
    void describe(const TickRef& ref, TickView& out);
    // The str objects of a leased batch's codes and markets (kept while it is one of the last two).
    void span_of(const std::shared_ptr<const TickBatch>& batch, TickSpan& out);
    // The record of a described tick.
    nb::object record(const TickView& tick);
    // (bid, ask, bid size, ask size) of the last tick record built, for the order book of a loop that reads
    // records; None when it had no quote or the last item was no tick.
    nb::object last_quote() const;

private:
    struct BatchStrings {
        std::shared_ptr<const TickBatch> batch;
        std::vector<nb::object> codes, markets;
        std::vector<PyObject*> code_ptrs, market_ptrs;  // the same objects, for TickSpan
    };
    const BatchStrings& strings_for(const std::shared_ptr<const TickBatch>& batch);

    TickView last_ {};
    bool last_is_tick_ = false;
    BatchStrings slots_[2];
    int next_slot_ = 0;
};

}  // namespace vkb::py
