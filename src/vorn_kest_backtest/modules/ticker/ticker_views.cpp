// The Ticker's side of the replay driver: items popped without building records.
#include <stdexcept>
#include <utility>

#include "tick_queues.hpp"
#include "ticker_impl.hpp"

namespace vkb::py {

TickItem Ticker::pop_view(TickView& tick, nb::object& object) {
    Engine::Item item;
    tick_backend_->take(item, true, std::nullopt);
    return view_of(std::move(item), tick, object);
}

TickItem Ticker::allow_and_pop_view(TickView& tick, nb::object& object) {
    Engine::Item item;
    if (engine_->add_permit_and_try_pop(item)) {
        print_pending_messages();
    } else {
        tick_backend_->take(item, true, std::nullopt);
    }
    return view_of(std::move(item), tick, object);
}

bool Ticker::lease_span(std::size_t max, TickSpan& span) {
    if (lease_.batch) throw std::logic_error("上一段租用的 Tick 尚未結算");
    if (!engine_->lease_live(max, lease_)) return false;
    const TickBatch& b = *lease_.batch;
    records_->span_of(lease_.batch, span);
    span.ts_ns = b.ts_ns.data();
    span.close = b.close.data();
    span.bid_price = b.bid_price.data();
    span.ask_price = b.ask_price.data();
    span.bid_volume = b.bid_volume.data();
    span.ask_volume = b.ask_volume.data();
    span.volume = b.volume.data();
    span.tick_type = b.tick_type.data();
    span.code_index = b.code_index.data();
    span.utc_offset_hours = b.utc_offset_hours;
    span.begin = lease_.begin;
    span.count = lease_.count;
    return true;
}

void Ticker::settle_span(std::size_t taken) {
    const LiveLease lease = std::exchange(lease_, LiveLease{});
    if (!lease.batch) throw std::logic_error("沒有租用中的 Tick 可結算");
    if (!engine_->settle_lease(lease, taken))
        throw std::runtime_error("回放在租用的 Tick 取用期間被改變 (另有呼叫給予許可或結束回放)");
}

TickItem Ticker::view_of(Engine::Item&& item, TickView& tick, nb::object& object) {
    tick_backend_->raise_failure_at_end(item);
    if (auto* ref = std::get_if<TickRef>(&item)) {
        records_->describe(*ref, tick);
        return TickItem::Tick;
    }
    if (auto* status = std::get_if<ReplayStatus>(&item))
        return *status == ReplayStatus::ExitSendTick ? TickItem::Exit : TickItem::Status;
    object = std::move(std::get<nb::object>(item));
    return TickItem::Object;
}

}  // namespace vkb::py
