// Construction, the replay handshake, backfilling and the replay's threads.
#include <string>
#include <utility>

#include <nanobind/stl/string.h>

#include "common/py_console.hpp"
#include "common/py_gil.hpp"
#include "common/py_queue.hpp"
#include "tick_columns.hpp"
#include "tick_queues.hpp"
#include "ticker_impl.hpp"
#include "ticker_registry.hpp"

namespace vkb::py {

namespace {

const char* const kEmptyBackfillDates = "回補資料的開始時間與結束時間不能為空";

bool empty_date(const nb::object& value) { return value.is_none() || !nb::bool_(value); }

}  // namespace

void print_messages(Engine& engine) {
    for (const std::string& line : engine.take_messages()) console_print(line);
}

Ticker::Ticker(nb::object kest_api)
    : api(std::move(kest_api)), engine_(std::make_shared<Engine>(1)), records_(std::make_shared<RecordBuilder>()) {
    allow_next_tick_flag_queue = nb::cast(Queue(std::make_shared<PermitQueueBackend>(engine_)));
    backfilling_notify_finish_queue = nb::cast(Queue(std::make_shared<NotifyQueueBackend>(engine_, records_)));
    tick_file_save_path = ticks_function("fetch", "generate_save_path")(nb::str("ticks"));
    reader_failure_ = std::make_shared<ReaderFailure>();
    tick_backend_ = std::make_shared<TickQueueBackend>(engine_, records_, reader_failure_);
    tick_queue = nb::cast(Queue(tick_backend_));
    tick_df_schema = ticks_function("frames", "tick_schema")();
    register_ticker(this);
}

// May run on the backfilling thread when it drops the last reference; that thread is never
// joined, and the replay thread it joins is another one.
Ticker::~Ticker() {
    unregister_ticker(this);
    engine_->cancel_all();
    join_replay_thread();
}

void Ticker::join_replay_thread() {
    if (!replay_thread_.joinable()) return;
    ExitSafeGilRelease unlocked;
    replay_thread_.join();
}

// Waits without the GIL, and on the main thread Ctrl-C still interrupts the wait.
std::unique_lock<std::timed_mutex> Ticker::lock_run_start() {
    std::unique_lock lock(run_start_mutex_, std::try_to_lock);
    if (!lock.owns_lock())
        wait_without_gil(
            [&](QueueDeadline until) {
                if (until) return lock.try_lock_until(*until);
                lock.lock();
                return true;
            },
            std::nullopt);
    return lock;
}

void Ticker::shut_down() {
    engine_->shutdown();
    // A run being started elsewhere joins the thread itself; the shutdown already ended it.
    std::unique_lock lock(run_start_mutex_, std::try_to_lock);
    if (lock.owns_lock() && replay_thread_.joinable()) replay_thread_.join();
}

void Ticker::print_pending_messages() {
    if (engine_->has_messages()) print_messages(*engine_);
}

void Ticker::send_ticks(const nb::object& codes, const nb::object& start_from, const nb::object& end_to,
                        const nb::object& backfilling_start_from, const nb::object& backfilling_end_to) {
    const nb::object entries = code_market_pairs(codes);

    // A replay still running ends here, before the new one may use the queues. The first cancel
    // cuts short a run another thread is preparing; the second ends the run it then started.
    engine_->cancel_all();
    const auto run_start = lock_run_start();
    engine_->cancel_all();
    join_replay_thread();
    current_send_ticks_params = nb::dict();
    failed_days = nb::list();
    current_send_ticks_params["codes"] = codes;
    current_send_ticks_params["start_from"] = start_from;
    current_send_ticks_params["end_to"] = end_to;
    if (!empty_date(backfilling_start_from) && !empty_date(backfilling_end_to)) {
        current_send_ticks_params["backfilling_start_from"] = backfilling_start_from;
        current_send_ticks_params["backfilling_end_to"] = backfilling_end_to;
    }

    const bool with_backfill = !backfilling_start_from.is_none() || !backfilling_end_to.is_none();
    engine_->set_announce(!console_quiet());
    const std::uint64_t generation = engine_->begin_run(with_backfill);
    reader_failure_->error = nb::object();
    if (with_backfill)
        start_backfill_thread(entries, backfilling_start_from, backfilling_end_to, generation);
    try {
        // The first date is read here, so a run starts as a whole-range one did; the others follow on
        // their own thread while the replay goes on.
        nb::object stream =
            ticks_function("combine", "DayStream")(nb::find(this), entries, start_from, end_to);
        const bool more = stream_day(stream, generation);
        ticks_function("console", "replay_days_started")(nb::len(stream));
        start_replay_thread(generation);
        if (more) start_day_thread(std::move(stream), generation);
    } catch (const ReplayCancelled&) {
        // stopped or superseded while the frame was being prepared
    } catch (...) {
        engine_->cancel_all();
        throw;
    }
    print_pending_messages();
}

void Ticker::replay_frame(const nb::object& df, std::uint64_t generation) {
    auto batch = batch_from_columns(ticks_function("replay_columns", "columns_of")(df, code_market_map));
    ticks_function("console", "replay_started")(batch->size());
    engine_->attach_live(generation, std::move(batch));
    start_replay_thread(generation);
}

void Ticker::start_replay_thread(std::uint64_t generation) {
    Engine* engine = engine_.get();
    replay_thread_ = std::thread([engine, generation] { engine->wait_run_end(generation); });
}

// The loop is Python (vorn_kest_backtest.ticks.combine.read_days) calling short C++ steps: a broker
// call that interpreter exit interrupts then has no C++ frame under it to unwind. The loop holds the
// Ticker only while it reads a day: a replay its owner dropped ends with the Ticker, and its reader with it.
void Ticker::start_day_thread(nb::object stream, std::uint64_t generation) {
    nb::object weak = nb::module_::import_("weakref").attr("ref")(nb::find(this));
    std::shared_ptr<Engine> engine = engine_;
    std::shared_ptr<ReaderFailure> failure = reader_failure_;
    nb::dict steps;
    steps["wait_for_room"] = nb::cpp_function([engine, generation] {
        ExitSafeGilRelease unlocked;
        return engine->wait_for_room(generation, std::nullopt);
    });
    steps["is_current"] = is_current_function(generation);
    steps["append"] = nb::cpp_function(
        [engine, generation](const nb::handle& columns) { engine->append_live(generation, batch_from_columns(columns)); });
    steps["finish"] = nb::cpp_function([engine, generation] { engine->finish_live(generation); });
    // Not one day's failure (those are kept and skipped): the consumer gets it at the run's end record.
    steps["fail"] = nb::cpp_function([engine, failure, generation](nb::object error) {
        if (!engine->is_current(generation)) return;
        failure->error = std::move(error);
        engine->fail_run(generation);
    });
    steps["ended"] = nb::cpp_function([] { feeding_thread_ended(); });
    start_feeding_thread("Ticker.days", ticks_function("combine", "read_days"),
                         nb::make_tuple(weak, std::move(stream), steps));
}

void Ticker::push_tick_to_queue(const nb::object& df) {
    engine_->cancel_all();
    const auto run_start = lock_run_start();
    engine_->cancel_all();
    join_replay_thread();
    engine_->set_announce(!console_quiet());
    const std::uint64_t generation = engine_->begin_run(false);
    reader_failure_->error = nb::object();
    replay_frame(df, generation);
    print_pending_messages();
}

nb::object Ticker::pop_tick() {
    return tick_backend_->get_item(true, std::nullopt);
}

void Ticker::allow_next_tick() {
    engine_->add_permit();
    print_pending_messages();
}

void Ticker::stop_send_ticks() {
    engine_->stop();
    print_pending_messages();
}

void Ticker::set_exit_flag(bool value) {
    engine_->set_exit_flag(value);
    print_pending_messages();
}

void Ticker::notify_backfilling_finish() { engine_->notify_backfilling_finish(); }

void Ticker::backfilling(const nb::object& codes, const nb::object& start_from, const nb::object& end_to) {
    try {
        backfill_pass(code_market_pairs(codes), start_from, end_to, engine_->generation());
    } catch (const ReplayCancelled&) {
        // a stop or a new replay ended this pass between two days
    }
}

void Ticker::backfill_begin(const nb::object& start_from, const nb::object& end_to, std::uint64_t generation) {
    if (empty_date(start_from) || empty_date(end_to)) {
        engine_->notify_backfilling_finish(generation);
        throw nb::value_error(kEmptyBackfillDates);
    }
    // A pass that outlived its replay must not touch the next replay's parameters.
    if (!engine_->is_current(generation)) throw ReplayCancelled{};
    current_send_ticks_params["backfilling_start_from"] = start_from;
    current_send_ticks_params["backfilling_end_to"] = end_to;
}

void Ticker::backfill_start(const nb::object& df, std::uint64_t generation) {
    try {
        auto batch = batch_from_columns(ticks_function("replay_columns", "columns_of")(df, code_market_map));
        ticks_function("console", "backfill_started")(batch->size());
        // The pass ends here: permit givers move its ticks into the queue.
        engine_->start_backfill(generation, std::move(batch));
    } catch (const nb::python_error& e) {
        backfill_failed(nb::cast<std::string>(nb::str(e.value())), generation);
    } catch (const std::exception& e) {
        backfill_failed(e.what(), generation);
    }
}

void Ticker::backfill_failed(const std::string& message, std::uint64_t generation) {
    ticks_function("console", "backfill_failed")(message);
    engine_->notify_backfilling_finish(generation);
}

void Ticker::backfill_pass(const nb::object& codes, const nb::object& start_from,
                           const nb::object& end_to, std::uint64_t generation) {
    backfill_begin(start_from, end_to, generation);
    nb::object df;
    try {
        df = ticks_function("combine", "combine")(nb::find(this), codes, start_from, end_to,
                                                  is_current_function(generation));
    } catch (const nb::python_error& e) {
        if (is_replay_cancelled(e)) throw ReplayCancelled{};
        backfill_failed(nb::cast<std::string>(nb::str(e.value())), generation);
        return;
    }
    backfill_start(df, generation);
}

// A Python daemon thread running vorn_kest_backtest.ticks.combine.run_backfill, which calls the steps
// below around its download: a broker call that interpreter exit interrupts has no C++ frame under it to
// unwind. The thread's arguments hold the Ticker alive while it works.
void Ticker::start_backfill_thread(const nb::object& codes, const nb::object& start, const nb::object& end,
                                   std::uint64_t generation) {
    nb::dict steps;
    steps["begin"] = nb::cpp_function([this, start, end, generation] {
        try {
            backfill_begin(start, end, generation);
        } catch (const ReplayCancelled&) {
            PyErr_SetNone(ticks_function("combine", "ReplayCancelled").ptr());
            throw nb::python_error();
        }
    });
    steps["is_current"] = is_current_function(generation);
    steps["start"] = nb::cpp_function([this, generation](const nb::object& df) { backfill_start(df, generation); });
    steps["failed"] = nb::cpp_function(
        [this, generation](const std::string& message) { backfill_failed(message, generation); });
    steps["ended"] = nb::cpp_function([] { feeding_thread_ended(); });
    start_feeding_thread("Ticker.backfilling", ticks_function("combine", "run_backfill"),
                         nb::make_tuple(nb::find(this), codes, start, end, steps));
}

}  // namespace vkb::py
