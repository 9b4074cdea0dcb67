#pragma once
// State of one Ticker: the broker SDK, the replay engine behind its three queues, the tables it
// keeps, and the threads of the running replay.
#include <nanobind/nanobind.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tick_records.hpp"

namespace vkb::py {

namespace nb = nanobind;

class TickQueueBackend;
struct ReaderFailure;

// A function of the Python tick data path (vorn_kest_backtest.ticks.<module>), which does the file and frame work.
nb::object ticks_function(const char* module, const char* name);

// Raised between days when the replay that asked for the data is no longer current.
struct ReplayCancelled {};
// Whether a Python error is the day readers' ReplayCancelled.
bool is_replay_cancelled(const nb::python_error& error);

class Ticker {
public:
    explicit Ticker(nb::object kest_api);
    ~Ticker();
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;

    // Attributes, in the order the constructor sets them.
    nb::object api;
    nb::object allow_next_tick_flag_queue, backfilling_notify_finish_queue;
    nb::object tick_file_save_path;
    nb::object tick_queue;
    nb::dict code_market_map;
    nb::object tick_df_schema;
    nb::dict current_send_ticks_params;
    // {"code", "date", "reason"} of each day that could not be loaded since the last send_ticks.
    nb::list failed_days;

    Engine& engine() { return *engine_; }

    // Replay (ticker_replay.cpp), with arguments the Python Ticker checked.
    void send_ticks(const nb::object& codes, const nb::object& start_from, const nb::object& end_to,
                    const nb::object& backfilling_start_from, const nb::object& backfilling_end_to);
    nb::object pop_tick();
    nb::object last_quote() const { return records_->last_quote(); }
    void allow_next_tick();
    void stop_send_ticks();
    void backfilling(const nb::object& codes, const nb::object& start_from, const nb::object& end_to);
    void push_tick_to_queue(const nb::object& df);
    void notify_backfilling_finish();
    void set_exit_flag(bool value);
    void print_pending_messages();

    // The replay driver's side (ticker_views.cpp): items without records, live ticks leased as columns.
    TickItem pop_view(TickView& tick, nb::object& object);
    TickItem allow_and_pop_view(TickView& tick, nb::object& object);
    bool lease_span(std::size_t max, TickSpan& span);
    void settle_span(std::size_t taken);
    nb::object record_of(const TickView& tick) { return records_->record(tick); }

    // Interpreter exit: end the replay and join the replay thread (called without the GIL). A
    // backfilling thread busy in a broker call is a daemon thread and is not waited for.
    void shut_down();

private:
    TickItem view_of(Engine::Item&& item, TickView& tick, nb::object& object);
    // `codes`: (code, market) pairs.
    void backfill_pass(const nb::object& codes, const nb::object& start_from, const nb::object& end_to,
                       std::uint64_t generation);
    // The pieces of a pass around its download: checks and parameters (ReplayCancelled when the replay is no
    // longer current), the frame handed to the engine, a failure reported.
    void backfill_begin(const nb::object& start_from, const nb::object& end_to, std::uint64_t generation);
    void backfill_start(const nb::object& df, std::uint64_t generation);
    void backfill_failed(const std::string& message, std::uint64_t generation);
    void start_backfill_thread(const nb::object& codes, const nb::object& start_from, const nb::object& end_to,
                               std::uint64_t generation);
    void replay_frame(const nb::object& df, std::uint64_t generation);
    // Whether the replay `generation` is still current, as a Python callable for the day readers.
    nb::object is_current_function(std::uint64_t generation) const;
    // Appends the stream's next date to the replay `generation`; false once every date is done.
    bool stream_day(const nb::object& stream, std::uint64_t generation);
    void start_replay_thread(std::uint64_t generation);
    // Reads the stream's remaining days on a Python daemon thread, one day ahead of the replay.
    void start_day_thread(nb::object stream, std::uint64_t generation);
    std::unique_lock<std::timed_mutex> lock_run_start();
    void join_replay_thread();

    std::shared_ptr<Engine> engine_;
    std::shared_ptr<RecordBuilder> records_;
    std::shared_ptr<ReaderFailure> reader_failure_;
    std::shared_ptr<TickQueueBackend> tick_backend_;
    LiveLease lease_;  // the live ticks leased to the replay driver, until settled
    // The replay thread only waits for its run's end and never touches Python. The backfilling
    // thread is a Python daemon thread holding its own reference to the Ticker, so it is never
    // joined and the Ticker may be destroyed on it.
    std::thread replay_thread_;
    // Held while a run is being started, so two callers never start runs over each other.
    std::timed_mutex run_start_mutex_;
};

// (code, market) pairs of a list of {"code", "market"} entries, checked by the Python tick data path.
nb::object code_market_pairs(const nb::handle& codes);

}  // namespace vkb::py
