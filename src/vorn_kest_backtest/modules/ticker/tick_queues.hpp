#pragma once
// The Ticker's three queues as queue.Queue look-alikes over the replay engine's state.
#include <memory>

#include "common/py_queue.hpp"
#include "tick_records.hpp"

namespace vkb::py {

void print_messages(Engine& engine);

// What stopped the thread reading a replay's days; raised to the consumer in place of the run's end record.
struct ReaderFailure {
    nb::object error;
};

// tick_queue: records come out as Python mappings, built when taken.
class TickQueueBackend final : public QueueBackend {
public:
    TickQueueBackend(std::shared_ptr<Engine> engine, std::shared_ptr<RecordBuilder> records,
                     std::shared_ptr<ReaderFailure> failure)
        : engine_(std::move(engine)), records_(std::move(records)), failure_(std::move(failure)) {}

    std::size_t size() override { return engine_->tick_queue_size(); }

    nb::object get_item(bool block, QueueDeadline deadline) override {
        Engine::Item item;
        return take(item, block, deadline) ? records_->build(std::move(item)) : nb::object();
    }

    // The next item as the engine holds it, for callers that need no record.
    bool take(Engine::Item& item, bool block, QueueDeadline deadline) {
        bool got = engine_->try_pop_tick(item);
        if (!got && block)
            got = wait_without_gil([&](QueueDeadline until) { return engine_->wait_pop_tick(item, until); }, deadline);
        if (engine_->has_messages()) print_messages(*engine_);
        if (got) raise_failure_at_end(item);
        return got;
    }

    // The end record of a run whose day reader failed raises the reader's error instead.
    void raise_failure_at_end(const Engine::Item& item) {
        if (!failure_->error.is_valid()) return;
        const auto* status = std::get_if<ReplayStatus>(&item);
        if (status == nullptr || *status != ReplayStatus::ExitSendTick) return;
        nb::object error = std::exchange(failure_->error, nb::object());
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        throw nb::python_error();
    }

    void put_item(nb::object item) override { engine_->put_tick_item(std::move(item)); }

private:
    std::shared_ptr<Engine> engine_;
    std::shared_ptr<RecordBuilder> records_;
    std::shared_ptr<ReaderFailure> failure_;
};

// allow_next_tick_flag_queue: a count of permits; every item put is one permit.
class PermitQueueBackend final : public QueueBackend {
public:
    explicit PermitQueueBackend(std::shared_ptr<Engine> engine) : engine_(std::move(engine)) {}

    std::size_t size() override { return engine_->permit_count(); }

    nb::object get_item(bool block, QueueDeadline deadline) override {
        bool got = engine_->take_permit(false, std::nullopt);
        if (!got && block)
            got = wait_without_gil([&](QueueDeadline until) { return engine_->take_permit(true, until); }, deadline);
        return got ? nb::object(nb::bool_(true)) : nb::object();
    }

    void put_item(nb::object) override {
        engine_->add_permit();
        if (engine_->has_messages()) print_messages(*engine_);
    }

private:
    std::shared_ptr<Engine> engine_;
};

// backfilling_notify_finish_queue.
class NotifyQueueBackend final : public QueueBackend {
public:
    NotifyQueueBackend(std::shared_ptr<Engine> engine, std::shared_ptr<RecordBuilder> records)
        : engine_(std::move(engine)), records_(std::move(records)) {}

    std::size_t size() override { return engine_->notify_queue_size(); }

    nb::object get_item(bool block, QueueDeadline deadline) override {
        Engine::Item item;
        bool got = engine_->wait_pop_notify(item, false, std::nullopt);
        if (!got && block)
            got = wait_without_gil([&](QueueDeadline until) { return engine_->wait_pop_notify(item, true, until); },
                                   deadline);
        return got ? records_->build(std::move(item)) : nb::object();
    }

    void put_item(nb::object item) override {
        engine_->put_notify_item(std::move(item));
        if (engine_->has_messages()) print_messages(*engine_);
    }

private:
    std::shared_ptr<Engine> engine_;
    std::shared_ptr<RecordBuilder> records_;
};

}  // namespace vkb::py
