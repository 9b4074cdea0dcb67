#include <doctest/doctest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "vkb/blocking_queue.hpp"
#include "vkb/replay_engine.hpp"

using namespace vkb;
using Engine = ReplayEngine<int>;

namespace {

std::shared_ptr<const TickBatch> batch_of(std::size_t rows) {
    auto b = std::make_shared<TickBatch>();
    for (std::size_t i = 0; i < rows; ++i) {
        b->ts_ns.push_back(static_cast<std::int64_t>(i));
        b->close.push_back(1.0);
        b->volume.push_back(1);
        b->tick_type.push_back(1);
        b->code_index.push_back(0);
    }
    b->codes = {"2330"};
    b->markets = {"Stock"};
    return b;
}

// What the consumer sees, as text: "L<row>" live tick, "B<row>" backfilled, "F" finish, "X" end.
std::string drain(Engine& e) {
    std::string seen;
    Engine::Item item;
    while (e.try_pop_tick(item)) {
        if (auto* t = std::get_if<TickRef>(&item))
            seen += (t->backfilling ? "B" : "L") + std::to_string(t->row);
        else if (auto* s = std::get_if<ReplayStatus>(&item))
            seen += *s == ReplayStatus::ExitSendTick ? "X" : "F";
        else
            seen += "P";
    }
    return seen;
}

}  // namespace

TEST_CASE("each tick waits for its own permit; the last permit releases the end record") {
    Engine e(1);
    auto id = e.begin_run(false);
    e.attach_live(id, batch_of(3));
    CHECK(e.permit_count() == 0);
    CHECK(drain(e) == "L0");
    CHECK(drain(e).empty());
    e.add_permit();
    CHECK(drain(e) == "L1");
    e.add_permit();
    e.add_permit();
    CHECK(drain(e) == "L2X");
    e.add_permit();
    CHECK(e.permit_count() == 1);  // permits outlive the run
    CHECK(e.take_messages().size() == 1);
}

TEST_CASE("granting a permit and popping in one step lets exactly one tick through") {
    Engine e(1);
    auto id = e.begin_run(false);
    e.attach_live(id, batch_of(2));
    Engine::Item item;
    REQUIRE(e.try_pop_tick(item));
    CHECK(std::get<TickRef>(item).row == 0);
    REQUIRE(e.add_permit_and_try_pop(item));
    CHECK(std::get<TickRef>(item).row == 1);
    CHECK(e.permit_count() == 0);
    // The end record takes the last tick's permit; a permit given after it stays for later.
    REQUIRE(e.add_permit_and_try_pop(item));
    CHECK(std::get<ReplayStatus>(item) == ReplayStatus::ExitSendTick);
    CHECK_FALSE(e.add_permit_and_try_pop(item));
    CHECK(e.permit_count() == 1);
}

TEST_CASE("a lease of live ticks stands for as many permit and pop steps") {
    Engine e(1);
    auto id = e.begin_run(false);
    e.attach_live(id, batch_of(5));
    Engine::Item item;
    REQUIRE(e.try_pop_tick(item));  // row 0 on the construction-time permit
    LiveLease lease;
    REQUIRE(e.lease_live(10, lease));
    CHECK(lease.begin == 1);
    CHECK(lease.count == 4);
    REQUIRE(e.settle_lease(lease, 2));  // rows 1 and 2 taken
    // The next permit hands out row 3, as after two steps of the queue.
    REQUIRE(e.add_permit_and_try_pop(item));
    CHECK(std::get<TickRef>(item).row == 3);
    CHECK_FALSE(e.settle_lease(lease, 1));  // the run moved on since the lease
}

TEST_CASE("no lease while anything but the next live tick is due") {
    Engine e(1);
    auto id = e.begin_run(true);
    e.attach_live(id, batch_of(3));
    LiveLease lease;
    CHECK_FALSE(e.lease_live(10, lease));  // awaiting the backfill notice
    e.notify_backfilling_finish(id);
    CHECK_FALSE(e.lease_live(10, lease));  // the finish record is queued
    Engine::Item item;
    REQUIRE(e.try_pop_tick(item));
    REQUIRE(e.try_pop_tick(item));  // row 0
    CHECK(e.lease_live(10, lease));
    e.add_permit();  // a permit given elsewhere queues row 1
    CHECK_FALSE(e.lease_live(10, lease));
    REQUIRE(e.try_pop_tick(item));
    e.stop();
    CHECK_FALSE(e.lease_live(10, lease));
}

TEST_CASE("an empty frame ends at once without taking a permit") {
    Engine e(1);
    e.attach_live(e.begin_run(false), batch_of(0));
    CHECK(drain(e) == "X");
    CHECK(e.permit_count() == 1);
    auto lines = e.take_messages();
    REQUIRE(lines.size() == 1);
    CHECK(lines[0] == "[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]");
}

TEST_CASE("backfilled ticks, then the finish record, then live ticks, then the end record") {
    Engine e(1);
    auto id = e.begin_run(true);
    e.attach_live(id, batch_of(2));
    CHECK(drain(e).empty());  // live waits for the backfilling notice
    CHECK(e.start_backfill(id, batch_of(2)));
    CHECK(drain(e) == "B0");  // on the construction permit
    std::thread giver([&] { e.add_permit(); });
    giver.join();
    CHECK(drain(e) == "B1F");  // the notice follows the last backfilled tick without a permit
    CHECK(e.backfilling_finished());
    CHECK(e.notify_queue_size() == 0);
    e.add_permit();
    e.add_permit();
    e.add_permit();
    CHECK(drain(e) == "L0L1X");
}

TEST_CASE("stop yields one end record and a stale run never feeds a later one") {
    Engine e(0);
    auto first = e.begin_run(true);
    e.attach_live(first, batch_of(5));
    e.stop();
    e.stop();
    CHECK(drain(e) == "X");
    CHECK(e.exit_requested());
    e.add_permit();
    CHECK(drain(e).empty());
    CHECK_FALSE(e.start_backfill(first, batch_of(3)));  // the old pass comes too late
    e.notify_backfilling_finish(first);
    CHECK(e.notify_queue_size() == 0);

    auto second = e.begin_run(false);
    CHECK_FALSE(e.exit_requested());
    e.attach_live(first, batch_of(7));  // ignored: stale
    e.attach_live(second, batch_of(1));
    CHECK(drain(e).empty());  // the new run starts with the engine's zero permits
    e.add_permit();
    CHECK(drain(e) == "L0");
}

TEST_CASE("a new run starts with the construction-time permits, whatever the last run left") {
    Engine e(1);
    auto first = e.begin_run(false);
    e.attach_live(first, batch_of(5));
    e.add_permit();  // a second tick queued; the consumer stops before taking it
    e.stop();
    CHECK(e.permit_count() == 0);
    auto second = e.begin_run(false);
    CHECK(e.permit_count() == 1);
    e.attach_live(second, batch_of(2));
    CHECK(drain(e) == "L0");
    for (int i = 0; i < 4; ++i) e.add_permit();
    auto third = e.begin_run(false);
    CHECK(e.permit_count() == 1);
    e.attach_live(third, batch_of(1));
    CHECK(drain(e) == "L0");
}

namespace {

// A payload whose destruction calls back into the engine, as a Python __del__ may.
struct CallingBack;
using CallbackEngine = ReplayEngine<CallingBack>;

struct CallingBack {
    CallbackEngine* engine = nullptr;
    int* seen = nullptr;
    CallingBack() = default;
    CallingBack(CallbackEngine* e, int* s) : engine(e), seen(s) {}
    CallingBack(CallingBack&& o) noexcept : engine(std::exchange(o.engine, nullptr)), seen(o.seen) {}
    CallingBack& operator=(CallingBack&& o) noexcept {
        std::swap(engine, o.engine);
        seen = o.seen;
        return *this;
    }
    ~CallingBack() {
        if (engine) *seen += static_cast<int>(engine->tick_queue_size()) + 1;
    }
};

}  // namespace

TEST_CASE("records dropped by a new run are destroyed outside the lock") {
    CallbackEngine e(1);
    int seen = 0;
    e.put_tick_item(CallingBack(&e, &seen));
    e.put_notify_item(CallingBack(&e, &seen));
    e.begin_run(false);
    CHECK(seen == 2);  // both destructors ran and could read the (already empty) queue
}

TEST_CASE("end lines are not made when nobody will print them") {
    Engine e(1);
    e.set_announce(false);
    e.attach_live(e.begin_run(false), batch_of(1));
    e.add_permit();
    CHECK(drain(e) == "L0X");
    CHECK_FALSE(e.has_messages());
    CHECK(e.take_messages().empty());
}

TEST_CASE("a waiting consumer is woken by a permit given on another thread") {
    Engine e(0);
    auto id = e.begin_run(false);
    e.attach_live(id, batch_of(1));
    std::thread giver([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        e.add_permit();
    });
    Engine::Item item;
    CHECK(e.wait_pop_tick(item, Engine::Clock::now() + std::chrono::seconds(5)));
    CHECK(std::holds_alternative<TickRef>(item));
    giver.join();
    CHECK_FALSE(e.wait_pop_tick(item, Engine::Clock::now() + std::chrono::milliseconds(10)));
}

TEST_CASE("blocking queue keeps order and times out when empty") {
    BlockingQueue<int> q;
    q.push(1);
    q.push(2);
    int v = 0;
    CHECK(q.try_pop(v));
    CHECK(v == 1);
    CHECK(q.wait_pop(v, std::nullopt));
    CHECK(v == 2);
    CHECK_FALSE(q.wait_pop(v, BlockingQueue<int>::Clock::now() + std::chrono::milliseconds(5)));
    std::thread t([&] { q.push(3); });
    CHECK(q.wait_pop(v, BlockingQueue<int>::Clock::now() + std::chrono::seconds(5)));
    CHECK(v == 3);
    t.join();
}

TEST_CASE("batches appended during a run replay in turn; the end record waits for the last one") {
    Engine e(1);
    auto id = e.begin_run(false);
    e.append_live(id, batch_of(2));
    CHECK(drain(e) == "L0");
    e.add_permit();
    e.add_permit();
    CHECK(drain(e) == "L1");  // the second permit waits for the next batch
    e.append_live(id, batch_of(0));
    e.append_live(id, batch_of(1));
    CHECK(drain(e) == "L0");
    e.add_permit();
    CHECK(drain(e).empty());  // more may come
    e.finish_live(id);
    CHECK(drain(e) == "X");
    const auto lines = e.take_messages();
    REQUIRE(lines.size() == 1);
    CHECK(lines[0].find("共 3 筆, 已傳送 3 筆") != std::string::npos);
}

TEST_CASE("a run whose batches bring no tick ends at once, without a permit") {
    Engine e(0);
    auto id = e.begin_run(false);
    e.append_live(id, batch_of(0));
    CHECK(drain(e).empty());
    e.finish_live(id);
    CHECK(drain(e) == "X");
}

TEST_CASE("the producer waits until the batch it appended last is being replayed") {
    Engine e(1);
    auto id = e.begin_run(false);
    e.append_live(id, batch_of(1));
    CHECK(e.wait_for_room(id, Engine::Clock::now()));  // the first batch is current at once
    e.append_live(id, batch_of(1));
    bool room = false;
    std::thread producer([&] { room = e.wait_for_room(id, std::nullopt); });
    CHECK(drain(e) == "L0");
    e.add_permit();  // the first batch's only tick was sent: the second one is current
    producer.join();
    CHECK(room);
    CHECK(drain(e) == "L0");
    std::thread stopped([&] {
        // The second batch is sent out, so the first of these is current at once; the other waits behind it.
        e.append_live(id, batch_of(1));
        e.append_live(id, batch_of(1));
        room = e.wait_for_room(id, std::nullopt);
    });
    // Whether the stop comes before the appends or during the wait, the producer learns it has no room.
    e.stop();
    stopped.join();
    CHECK_FALSE(room);  // a stopped run has no room for more
}

TEST_CASE("a lease never reaches past its batch, and a failed producer ends the run with its end record") {
    Engine e(0);
    auto id = e.begin_run(false);
    e.append_live(id, batch_of(2));
    e.append_live(id, batch_of(3));
    LiveLease lease;
    REQUIRE(e.lease_live(10, lease));
    CHECK(lease.count == 2);
    REQUIRE(e.settle_lease(lease, 2));
    REQUIRE(e.lease_live(10, lease));
    CHECK((lease.begin == 0 && lease.count == 3));
    CHECK_FALSE(e.settle_lease(LiveLease{lease.batch, lease.run, 1, 1}, 1));
    REQUIRE(e.settle_lease(lease, 1));
    e.fail_run(id);
    CHECK(drain(e) == "X");
    CHECK_FALSE(e.is_current(id));
}
