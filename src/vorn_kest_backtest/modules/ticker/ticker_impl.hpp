#pragma once
// State of one Ticker: the broker SDK, the replay engine behind its three queues, the tables it
// keeps, and the threads of the running replay.
#include <nanobind/nanobind.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tick_records.hpp"

namespace vkb::py {

namespace nb = nanobind;

class TickQueueBackend;
struct DayStream;
struct ReaderFailure;

// Cache files read ahead by the combine running on this thread, by path; none outside a combine.
using PreloadedDays = std::unordered_map<std::string, nb::object>;
PreloadedDays*& preloaded_days();

struct CodeMarket {
    std::string code, market;
};

// Raised between days when the replay that asked for the data is no longer current.
struct ReplayCancelled {};

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

    // Files and download (tick_cache.cpp).
    // A broker that makes its ticks up (its `simulated` is true) is named so in every line about them.
    bool simulated_source() const;
    nb::object generate_save_path(const nb::object& file_name, const nb::tuple& sub_folder);
    std::string tick_filename_formatter(const nb::object& code, const nb::object& date);
    nb::object make_kest_contract_object(const nb::object& code, const nb::object& market_type);
    nb::object fetch_kest_history_ticks(const nb::object& code, const nb::object& product_type,
                                        const nb::object& start_from, const nb::object& end_to);
    nb::object auto_fetch_ticks(const nb::object& code, const nb::object& product_type, const nb::object& date);
    std::string cache_file_path(const nb::object& code, const nb::object& date);
    // Reads the current cache files of `dates` together (polars reads them side by side) into `out`.
    void preload_cached_days(const nb::object& code, const nb::object& product_type,
                             const std::vector<std::string>& dates, PreloadedDays& out);
    // Tells a broker that answers `prepare_days` which of `dates` are about to be fetched (not cached),
    // so it can read them together.
    void announce_days(const nb::object& code, const nb::object& product_type, const std::vector<std::string>& dates);
    // The ticks of `date` from `since_ns` on, straight from a broker that serves frames; never cached
    // (the cache holds whole days).
    nb::object lead_in_ticks(const nb::object& code, const nb::object& product_type, const std::string& date,
                             std::int64_t since_ns);
    nb::object get_ticks_df(const nb::object& code, const nb::object& market_type, const nb::object& start_from,
                            const nb::object& end_to);

    // Combining (tick_combine.cpp). `generation`: the replay to abandon the work for when it ends.
    nb::object process_and_combine_ticks(const nb::object& codes, const nb::object& start_from,
                                         const nb::object& end_to);
    nb::object combine(const std::vector<CodeMarket>& codes, const nb::object& start_from, const nb::object& end_to,
                       std::optional<std::uint64_t> generation);
    // The days of a range one at a time (tick_combine.cpp): every code's ticks of the next date in
    // (ts, code) order, as one batch appended to the replay `generation` (none: only read, e.g. into the
    // cache). False once every date is done; failed_days then lists the failures code by code.
    std::shared_ptr<DayStream> plan_days(const std::vector<CodeMarket>& codes, const nb::object& start_from,
                                         const nb::object& end_to);
    bool stream_day(DayStream& stream, std::optional<std::uint64_t> generation);
    std::size_t day_count(const DayStream& stream) const;
    // Reads (or fetches and caches) every code's days of the range without combining or replaying them.
    void cache_days(const nb::object& codes, const nb::object& start_from, const nb::object& end_to);

    // Replay (ticker_replay.cpp).
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

    // The replay driver's door (tick_source.cpp): a capsule of VkbTickSource, valid while this Ticker lives.
    nb::object tick_source();
    int pop_view(VkbTickView& tick, PyObject*& object);
    int allow_and_pop_view(VkbTickView& tick, PyObject*& object);
    bool lease_span(std::size_t max, VkbTickSpan& span);
    void settle_span(std::size_t taken);
    nb::object record_of(const VkbTickView& tick) { return records_->record(tick); }

    // Interpreter exit: end the replay and join the replay thread (called without the GIL). A
    // backfilling thread busy in a broker call is a daemon thread and is not waited for.
    void shut_down();

private:
    int view_of(Engine::Item&& item, VkbTickView& tick, PyObject*& object);
    void backfill_pass(const std::vector<CodeMarket>& codes, const nb::object& start_from, const nb::object& end_to,
                       std::uint64_t generation);
    void start_backfill_thread(std::vector<CodeMarket> codes, std::optional<std::string> start_from,
                               std::optional<std::string> end_to,
                               std::uint64_t generation);
    void replay_frame(const nb::object& df, std::uint64_t generation);
    void start_replay_thread(std::uint64_t generation);
    // Reads the stream's remaining days on a Python daemon thread, one day ahead of the replay.
    void start_day_thread(std::shared_ptr<DayStream> stream, std::uint64_t generation);
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

std::vector<CodeMarket> code_markets_from(const nb::handle& codes);

}  // namespace vkb::py
