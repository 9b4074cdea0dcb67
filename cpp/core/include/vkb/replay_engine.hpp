#pragma once
// Replay of tick batches under a permit handshake.
//
// A run's live ticks come as a sequence of batches (one per day, appended while the run replays)
// and end once the last batch is announced; `wait_for_room` keeps the producer one batch ahead.
//
// All state (permits, the tick queue, the backfilling notify queue, the active run and the
// backfill pass) sits under one mutex. Whoever changes the state "pumps" right away on its own
// thread: a permit given while a tick is due moves that tick into the tick queue without waking
// any other thread. Waits count their waiters so nobody is signalled when nobody waits.
//
// Payload is what callers put into the queues themselves; the engine only moves it. Calls that
// may destroy a payload (pumping, put_*, begin_run, destruction) must be made where destroying
// a Payload is allowed (for Python objects: with the GIL held).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "vkb/replay_messages.hpp"
#include "vkb/tick_batch.hpp"

namespace vkb {

struct TickRef {
    std::shared_ptr<const TickBatch> batch;
    std::size_t row = 0;
    bool backfilling = false;
};

enum class ReplayStatus { ExitSendTick, FinishBackfilling };

// Live ticks a consumer takes one by one without the queue: rows [begin, begin + count) of `batch`.
struct LiveLease {
    std::shared_ptr<const TickBatch> batch;
    std::uint64_t run = 0;
    std::size_t begin = 0, count = 0;
};

template <class Payload>
class ReplayEngine {
public:
    using Item = std::variant<TickRef, ReplayStatus, Payload>;
    using Clock = std::chrono::steady_clock;
    using Deadline = std::optional<Clock::time_point>;

    explicit ReplayEngine(std::size_t initial_permits)
        : initial_permits_(initial_permits), permits_(initial_permits) {}

    bool exit_requested() const { return exit_flag_.load(); }
    bool backfilling_finished() const { return finish_flag_.load(); }

    // Whether end-of-replay console lines are made at all (a quiet console needs none).
    void set_announce(bool value) { announce_.store(value, std::memory_order_relaxed); }

    // ---- permits -------------------------------------------------------------------------
    void add_permit() {
        std::lock_guard lock(mutex_);
        ++permits_;
        pump_locked();
        wake_permit_waiter_locked();
    }

    // A consumer's two steps between ticks under one lock: grants a permit, then takes the item at
    // the front of the tick queue if there is one (false: wait with wait_pop_tick).
    bool add_permit_and_try_pop(Item& out) {
        std::lock_guard lock(mutex_);
        ++permits_;
        pump_locked();
        wake_permit_waiter_locked();
        return take_front(tick_queue_, out);
    }

    // A consumer about to grant the permit for its next tick may instead lease up to `max` live
    // ticks when that permit would hand out exactly the next live tick: nothing queued, no permit
    // left over, no backfill, notice or stop pending. Taking a leased tick stands for one permit and
    // one pop; settle_lease books them before anyone else may look at the engine. False: no lease.
    bool lease_live(std::size_t max, LiveLease& out) {
        std::lock_guard lock(mutex_);
        if (shut_down_ || backfill_.active || !run_.active || exit_flag_ || run_.awaits_backfill) return false;
        advance_live_locked();
        if (!run_.live || permits_ != 0 || !tick_queue_.empty() || run_.cursor >= run_.live->size() || max == 0)
            return false;
        out = LiveLease{run_.live, run_.id, run_.cursor, std::min(max, run_.live->size() - run_.cursor)};
        return true;
    }

    // The first `taken` ticks of the lease were taken. False when the run moved on meanwhile (it
    // ended, or another caller granted permits), so the lease no longer stood for those steps.
    bool settle_lease(const LiveLease& lease, std::size_t taken) {
        std::lock_guard lock(mutex_);
        if (!run_.active || run_.id != lease.run || run_.live != lease.batch || run_.cursor != lease.begin ||
            taken > lease.count)
            return false;
        run_.cursor += taken;
        advance_live_locked();
        return true;
    }

    // Takes one permit for a caller of its own (not a run); waits until one is there.
    bool take_permit(bool block, Deadline deadline) {
        std::unique_lock lock(mutex_);
        if (block) wait_locked(lock, permit_cv_, permit_waiters_, deadline, [&] { return permits_ > 0; });
        if (permits_ == 0) return false;
        --permits_;
        return true;
    }

    std::size_t permit_count() const {
        std::lock_guard lock(mutex_);
        return permits_;
    }

    // ---- tick queue ----------------------------------------------------------------------
    bool try_pop_tick(Item& out) {
        std::lock_guard lock(mutex_);
        return take_front(tick_queue_, out);
    }

    bool wait_pop_tick(Item& out, Deadline deadline) {
        std::unique_lock lock(mutex_);
        wait_locked(lock, tick_cv_, tick_waiters_, deadline, [&] { return !tick_queue_.empty(); });
        return take_front(tick_queue_, out);
    }

    void put_tick_item(Item item) {
        std::lock_guard lock(mutex_);
        tick_queue_.push_back(std::move(item));
        wake_tick_waiter_locked();
    }

    std::size_t tick_queue_size() const {
        std::lock_guard lock(mutex_);
        return tick_queue_.size();
    }

    // ---- backfilling notify queue ----------------------------------------------------------
    bool wait_pop_notify(Item& out, bool block, Deadline deadline) {
        std::unique_lock lock(mutex_);
        if (block) wait_locked(lock, notify_cv_, notify_waiters_, deadline, [&] { return !notify_queue_.empty(); });
        return take_front(notify_queue_, out);
    }

    void put_notify_item(Item item) {
        std::lock_guard lock(mutex_);
        notify_queue_.push_back(std::move(item));
        if (notify_waiters_ > 0) notify_cv_.notify_one();
        pump_locked();
    }

    std::size_t notify_queue_size() const {
        std::lock_guard lock(mutex_);
        return notify_queue_.size();
    }

    // ---- runs ------------------------------------------------------------------------------
    std::uint64_t generation() const {
        std::lock_guard lock(mutex_);
        return generation_;
    }

    bool is_current(std::uint64_t generation) const {
        std::lock_guard lock(mutex_);
        return generation == generation_ && !shut_down_;
    }

    // Ends the active run and any backfill pass without an end record (their queue is about to
    // be cleared). Safe without the right to destroy payloads.
    void cancel_all() {
        std::lock_guard lock(mutex_);
        ++generation_;
        cancel_backfill_locked();
        if (run_.active) end_run_locked(false);
    }

    // Starts a new run: drops pending records and notices, resets the flags and the permits to
    // their construction-time count (a dropped tick must not keep the permit it used). Returns its
    // id. Dropped records are destroyed after unlocking: a payload's destructor may call back in.
    std::uint64_t begin_run(bool awaits_backfill) {
        std::deque<Item> dropped_ticks, dropped_notices;
        std::lock_guard lock(mutex_);
        ++generation_;
        cancel_backfill_locked();
        if (run_.active) end_run_locked(false);
        exit_flag_ = false;
        dropped_ticks.swap(tick_queue_);
        dropped_notices.swap(notify_queue_);
        permits_ = initial_permits_;
        finish_flag_ = !awaits_backfill;
        run_ = Run{};
        run_.id = generation_;
        run_.active = true;
        run_.awaits_backfill = awaits_backfill;
        return generation_;
    }

    // The run's whole frame is ready: replay starts (a stale run's frame is ignored).
    void attach_live(std::uint64_t id, std::shared_ptr<const TickBatch> batch) {
        append_live(id, std::move(batch));
        finish_live(id);
    }

    // The next batch of the run's live ticks, replayed after the ones before it.
    void append_live(std::uint64_t id, std::shared_ptr<const TickBatch> batch) {
        std::lock_guard lock(mutex_);
        if (!run_.active || run_.id != id) return;
        if (!run_.attached) run_.started = Clock::now();
        run_.attached = true;
        run_.total += batch->size();
        run_.queued.push_back(std::move(batch));
        advance_live_locked();
        pump_locked();
    }

    // No batch follows: the run ends once the ones appended are sent.
    void finish_live(std::uint64_t id) {
        std::lock_guard lock(mutex_);
        if (!run_.active || run_.id != id) return;
        if (!run_.attached) run_.started = Clock::now();
        run_.attached = true;
        run_.complete = true;
        pump_locked();
    }

    // For the producer of a run's batches: waits until the last batch appended is being replayed
    // (none queued behind the current one). False when the run is over or no longer current.
    bool wait_for_room(std::uint64_t id, Deadline deadline) {
        std::unique_lock lock(mutex_);
        const auto over = [&] { return !run_.active || run_.id != id || shut_down_; };
        wait_locked(lock, room_cv_, room_waiters_, deadline, [&] { return over() || run_.queued.empty(); });
        return !over();
    }

    // Starts sending a backfill batch (before any live tick) under the same permits. Returns
    // false when a stop or a newer run already cut the pass off.
    bool start_backfill(std::uint64_t generation, std::shared_ptr<const TickBatch> batch) {
        std::lock_guard lock(mutex_);
        if (generation != generation_ || shut_down_) return false;
        backfill_ = Backfill{generation, std::move(batch), 0, true};
        pump_locked();
        return true;
    }

    // Flag and notice that backfilling is over; a stale pass's notice is dropped.
    void notify_backfilling_finish(std::uint64_t generation) {
        std::lock_guard lock(mutex_);
        if (generation != generation_) return;
        notify_locked();
        pump_locked();
    }

    void notify_backfilling_finish() { notify_backfilling_finish(generation()); }

    // Ends the active run with exactly one end record after the records already sent.
    void stop() {
        exit_flag_ = true;
        std::lock_guard lock(mutex_);
        ++generation_;
        cancel_backfill_locked();
        if (run_.active) end_run_locked(true);
    }

    // The run's producer failed: it ends now with its end record, the batches not sent dropped.
    void fail_run(std::uint64_t id) {
        std::lock_guard lock(mutex_);
        if (!run_.active || run_.id != id) return;
        ++generation_;
        cancel_backfill_locked();
        end_run_locked(true);
    }

    void set_exit_flag(bool value) {
        exit_flag_ = value;
        std::lock_guard lock(mutex_);
        pump_locked();
    }

    // The run's owner thread waits here until the run is over.
    void wait_run_end(std::uint64_t id) {
        std::unique_lock lock(mutex_);
        ++run_waiters_;
        run_cv_.wait(lock, [&] { return !run_.active || run_.id != id || shut_down_; });
        --run_waiters_;
    }

    // Interpreter exit: end everything and wake only the engine's own threads. Consumers that
    // still wait stay asleep (waking them now would make them run during shutdown).
    void shutdown() {
        std::lock_guard lock(mutex_);
        shut_down_ = true;
        ++generation_;
        backfill_.active = false;
        run_.active = false;
        run_cv_.notify_all();
        room_cv_.notify_all();
    }

    // Console lines made while the lock was held; the caller prints them.
    bool has_messages() const { return has_messages_.load(std::memory_order_acquire); }

    std::vector<std::string> take_messages() {
        std::lock_guard lock(mutex_);
        has_messages_.store(false, std::memory_order_release);
        return std::exchange(messages_, {});
    }

private:
    struct Run {
        std::uint64_t id = 0;
        bool active = false;
        bool awaits_backfill = false;
        bool attached = false;  // a batch or the end of the batches came
        bool complete = false;  // no batch follows those appended
        std::shared_ptr<const TickBatch> live;  // the batch being replayed
        std::deque<std::shared_ptr<const TickBatch>> queued;  // appended behind it
        std::size_t cursor = 0;  // into `live`
        std::size_t total = 0;  // ticks of every batch appended
        std::size_t sent_before = 0;  // ticks of the batches replayed before `live`
        Clock::time_point started{};
    };

    struct Backfill {
        std::uint64_t generation = 0;
        std::shared_ptr<const TickBatch> batch;
        std::size_t cursor = 0;
        bool active = false;
    };

    template <class Pred>
    void wait_locked(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int& waiters,
                     Deadline deadline, Pred ready) {
        ++waiters;
        if (deadline)
            cv.wait_until(lock, *deadline, ready);
        else
            cv.wait(lock, ready);
        --waiters;
    }

    static bool take_front(std::deque<Item>& queue, Item& out) {
        if (queue.empty()) return false;
        out = std::move(queue.front());
        queue.pop_front();
        return true;
    }

    void wake_tick_waiter_locked() {
        if (tick_waiters_ > 0 && !shut_down_) tick_cv_.notify_one();
    }

    void wake_permit_waiter_locked() {
        if (permit_waiters_ > 0 && !shut_down_) permit_cv_.notify_one();
    }

    void cancel_backfill_locked() {
        backfill_.active = false;
        backfill_.batch.reset();
        if (run_waiters_ > 0) run_cv_.notify_all();
    }

    void notify_locked() {
        finish_flag_ = true;
        notify_queue_.push_back(ReplayStatus::FinishBackfilling);
        if (notify_waiters_ > 0) notify_cv_.notify_one();
    }

    void push_locked(Item item) {
        tick_queue_.push_back(std::move(item));
        wake_tick_waiter_locked();
    }

    void end_run_locked(bool with_exit_record) {
        if (with_exit_record) push_locked(ReplayStatus::ExitSendTick);
        run_.active = false;
        if (run_.attached && announce_.load(std::memory_order_relaxed)) {
            if (run_.total == 0) {
                messages_.push_back(replay_empty_message());
            } else {
                const double seconds = std::chrono::duration<double>(Clock::now() - run_.started).count();
                messages_.push_back(replay_end_message(run_.total, run_.sent_before + run_.cursor, seconds));
            }
            has_messages_.store(true, std::memory_order_release);
        }
        run_.live.reset();
        run_.queued.clear();
        if (run_waiters_ > 0) run_cv_.notify_all();
        if (room_waiters_ > 0) room_cv_.notify_all();
    }

    // Moves on to the next appended batch once the current one is all sent (or there is none yet).
    void advance_live_locked() {
        bool moved = false;
        while (!run_.queued.empty() && (!run_.live || run_.cursor >= run_.live->size())) {
            if (run_.live) run_.sent_before += run_.live->size();
            run_.live = std::move(run_.queued.front());
            run_.queued.pop_front();
            run_.cursor = 0;
            moved = true;
        }
        if (moved && room_waiters_ > 0) room_cv_.notify_all();
    }

    // Moves every record that is due and permitted into the tick queue, in order: backfilled
    // ticks, the backfilling notice (as its status record), live ticks, the end record.
    void pump_locked() {
        if (shut_down_) return;
        for (;;) {
            if (backfill_.active) {
                if (backfill_.cursor < backfill_.batch->size()) {
                    if (permits_ == 0) return;
                    --permits_;
                    push_locked(TickRef{backfill_.batch, backfill_.cursor++, true});
                    continue;
                }
                backfill_.active = false;
                backfill_.batch.reset();
                notify_locked();
                if (run_waiters_ > 0) run_cv_.notify_all();
            }
            if (!run_.active) return;
            if (exit_flag_) {
                end_run_locked(true);
                return;
            }
            if (run_.awaits_backfill) {
                if (notify_queue_.empty()) return;
                notify_queue_.pop_front();
                run_.awaits_backfill = false;
                push_locked(ReplayStatus::FinishBackfilling);
                continue;
            }
            if (!run_.attached) return;
            advance_live_locked();
            const bool due = run_.live && run_.cursor < run_.live->size();
            // The next batch is not there yet: its append pumps again.
            if (!due && !run_.complete) return;
            if (run_.total == 0) {
                end_run_locked(true);
                return;
            }
            if (permits_ == 0) return;
            --permits_;
            if (due) {
                push_locked(TickRef{run_.live, run_.cursor++, false});
                continue;
            }
            end_run_locked(true);
            return;
        }
    }

    std::atomic<bool> exit_flag_{false};
    std::atomic<bool> finish_flag_{false};
    std::atomic<bool> announce_{true};
    mutable std::mutex mutex_;
    std::condition_variable tick_cv_, permit_cv_, notify_cv_, run_cv_, room_cv_;
    int tick_waiters_ = 0, permit_waiters_ = 0, notify_waiters_ = 0, run_waiters_ = 0, room_waiters_ = 0;
    const std::size_t initial_permits_;
    std::size_t permits_;
    std::deque<Item> tick_queue_;
    std::deque<Item> notify_queue_;
    Run run_;
    Backfill backfill_;
    std::uint64_t generation_ = 0;
    bool shut_down_ = false;
    std::vector<std::string> messages_;
    std::atomic<bool> has_messages_{false};
};

}  // namespace vkb
