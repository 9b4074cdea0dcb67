#include "tick_records.hpp"

#include <Python.h>

#include "common/py_modules.hpp"

namespace vkb::py {

namespace {

struct RecordKeys {
    PyObject *market_type, *timestamp, *code, *close, *qty, *tick_type, *is_simulate, *is_backfilling;
    PyObject *vorn_status, *exit_value, *finish_value;
};

// Interned once: the dict lookups of every consumer then compare pointers.
const RecordKeys& keys() {
    static std::atomic<const RecordKeys*> slot{nullptr};
    return published_once(slot, [] {
        nb::object flag = loaded_module("vorn_kest_backtest.constant").attr("FLAG");
        auto value_of = [&](const char* member) {
            nb::object v = flag.attr(member).attr("value");
            return v.inc_ref().ptr();  // kept for the life of the process
        };
        return RecordKeys{PyUnicode_InternFromString("market_type"), PyUnicode_InternFromString("timestamp"),
                          PyUnicode_InternFromString("code"),        PyUnicode_InternFromString("close"),
                          PyUnicode_InternFromString("qty"),         PyUnicode_InternFromString("tick_type"),
                          PyUnicode_InternFromString("is_simulate"), PyUnicode_InternFromString("is_backfilling"),
                          PyUnicode_InternFromString("vorn_status"), value_of("exit_send_tick"),
                          value_of("finish_backfilling")};
    });
}

PyObject* new_dict(Py_ssize_t size) {
#if PY_VERSION_HEX < 0x030D0000
    return _PyDict_NewPresized(size);
#else
    (void)size;
    return PyDict_New();
#endif
}

void set_new(PyObject* dict, PyObject* key, PyObject* value) {
    if (!value) throw nb::python_error();
    const int rc = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    if (rc != 0) throw nb::python_error();
}

void set_borrowed(PyObject* dict, PyObject* key, PyObject* value) {
    if (PyDict_SetItem(dict, key, value) != 0) throw nb::python_error();
}

}  // namespace

nb::object RecordBuilder::build(Engine::Item&& item) {
    last_is_tick_ = false;
    if (auto* ref = std::get_if<TickRef>(&item)) {
        describe(*ref, last_);
        last_is_tick_ = true;
        return record(last_);
    }
    if (auto* status = std::get_if<ReplayStatus>(&item)) return status_record(*status);
    return std::move(std::get<nb::object>(item));
}

nb::object RecordBuilder::last_quote() const {
    if (!last_is_tick_ || !vkb::carries_quote(last_.bid_price, last_.ask_price)) return nb::none();
    return nb::make_tuple(last_.bid_price, last_.ask_price, last_.bid_volume, last_.ask_volume);
}

nb::object RecordBuilder::status_record(ReplayStatus status) {
    const RecordKeys& k = keys();
    nb::object dict = nb::steal(new_dict(1));
    set_borrowed(dict.ptr(), k.vorn_status, status == ReplayStatus::ExitSendTick ? k.exit_value : k.finish_value);
    return dict;
}

const RecordBuilder::BatchStrings& RecordBuilder::strings_for(const std::shared_ptr<const TickBatch>& batch) {
    for (const BatchStrings& slot : slots_)
        if (slot.batch == batch) return slot;
    BatchStrings& slot = slots_[next_slot_];
    next_slot_ = 1 - next_slot_;
    slot.batch = batch;
    slot.codes.clear();
    slot.markets.clear();
    slot.code_ptrs.clear();
    slot.market_ptrs.clear();
    for (std::size_t i = 0; i < batch->codes.size(); ++i) {
        slot.codes.emplace_back(nb::str(batch->codes[i].c_str(), batch->codes[i].size()));
        slot.markets.emplace_back(nb::str(batch->markets[i].c_str(), batch->markets[i].size()));
        slot.code_ptrs.push_back(slot.codes.back().ptr());
        slot.market_ptrs.push_back(slot.markets.back().ptr());
    }
    return slot;
}

void RecordBuilder::describe(const TickRef& ref, TickView& out) {
    const TickBatch& b = *ref.batch;
    const BatchStrings& names = strings_for(ref.batch);
    const std::size_t row = ref.row;
    const std::uint32_t code = b.code_index[row];
    out.code = names.codes[code].ptr();
    out.market = names.markets[code].ptr();
    out.timestamp = b.timestamp(row);
    copy_row_numbers(b, row, out);
    out.backfilling = ref.backfilling ? 1 : 0;
}

void RecordBuilder::span_of(const std::shared_ptr<const TickBatch>& batch, TickSpan& out) {
    const BatchStrings& names = strings_for(batch);
    out.codes = names.code_ptrs.data();
    out.markets = names.market_ptrs.data();
}

nb::object RecordBuilder::record(const TickView& tick) {
    const RecordKeys& k = keys();
    nb::object dict = nb::steal(new_dict(8));
    PyObject* d = dict.ptr();
    set_borrowed(d, k.market_type, tick.market);
    set_new(d, k.timestamp, PyFloat_FromDouble(tick.timestamp));
    set_borrowed(d, k.code, tick.code);
    set_new(d, k.close, PyFloat_FromDouble(tick.close));
    set_new(d, k.qty, PyLong_FromLongLong(tick.qty));
    set_new(d, k.tick_type, PyLong_FromLongLong(tick.tick_type));
    set_borrowed(d, k.is_simulate, Py_False);
    set_borrowed(d, k.is_backfilling, tick.backfilling ? Py_True : Py_False);
    return dict;
}

}  // namespace vkb::py
