// The Ticker's side of the replay driver's C-level door: pops items without building records.
#include "common/tick_source.hpp"

#include <exception>
#include <stdexcept>
#include <utility>

#include "tick_queues.hpp"
#include "ticker_impl.hpp"

namespace vkb::py {

namespace {

// Errors cross the door as a set Python exception: the two modules share no C++ exception types.
template <typename Call>
auto guarded(Call call, decltype(call()) failed) noexcept {
    try {
        return call();
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return failed;
}

int pop(void* ticker, VkbTickView* tick, PyObject** object) {
    return guarded([&] { return static_cast<Ticker*>(ticker)->pop_view(*tick, *object); }, int{VKB_ITEM_ERROR});
}

int allow_and_pop(void* ticker, VkbTickView* tick, PyObject** object) {
    return guarded([&] { return static_cast<Ticker*>(ticker)->allow_and_pop_view(*tick, *object); },
                   int{VKB_ITEM_ERROR});
}

int lease(void* ticker, size_t max, VkbTickSpan* span) {
    return guarded([&] { return static_cast<Ticker*>(ticker)->lease_span(max, *span) ? 1 : 0; }, -1);
}

int settle(void* ticker, size_t taken) {
    return guarded(
        [&] {
            static_cast<Ticker*>(ticker)->settle_span(taken);
            return 0;
        },
        -1);
}

PyObject* record(void* ticker, const VkbTickView* tick) {
    return guarded([&] { return static_cast<Ticker*>(ticker)->record_of(*tick).release().ptr(); },
                   static_cast<PyObject*>(nullptr));
}

constexpr VkbTickSourceApi kApi{kVkbTickSourceVersion, pop, allow_and_pop, lease, settle, record};

void free_source(PyObject* capsule) {
    delete static_cast<VkbTickSource*>(PyCapsule_GetPointer(capsule, kVkbTickSourceCapsule));
}

}  // namespace

nb::object Ticker::tick_source() {
    auto* source = new VkbTickSource{&kApi, this};
    PyObject* capsule = PyCapsule_New(source, kVkbTickSourceCapsule, free_source);
    if (capsule == nullptr) {
        delete source;
        throw nb::python_error();
    }
    return nb::steal(capsule);
}

int Ticker::pop_view(VkbTickView& tick, PyObject*& object) {
    Engine::Item item;
    tick_backend_->take(item, true, std::nullopt);
    return view_of(std::move(item), tick, object);
}

int Ticker::allow_and_pop_view(VkbTickView& tick, PyObject*& object) {
    Engine::Item item;
    if (engine_->add_permit_and_try_pop(item)) {
        print_pending_messages();
    } else {
        tick_backend_->take(item, true, std::nullopt);
    }
    return view_of(std::move(item), tick, object);
}

bool Ticker::lease_span(std::size_t max, VkbTickSpan& span) {
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

int Ticker::view_of(Engine::Item&& item, VkbTickView& tick, PyObject*& object) {
    tick_backend_->raise_failure_at_end(item);
    if (auto* ref = std::get_if<TickRef>(&item)) {
        records_->describe(*ref, tick);
        return VKB_ITEM_TICK;
    }
    if (auto* status = std::get_if<ReplayStatus>(&item))
        return *status == ReplayStatus::ExitSendTick ? VKB_ITEM_EXIT : VKB_ITEM_STATUS;
    object = std::get<nb::object>(item).release().ptr();
    return VKB_ITEM_OBJECT;
}

}  // namespace vkb::py
