#include "ticker_registry.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "common/py_gil.hpp"
#include "ticker_impl.hpp"

namespace vkb::py {

namespace {

std::mutex registry_mutex;
std::mutex backfill_mutex;
std::condition_variable backfill_done;
int live_backfills = 0;

// A backfilling or day-reading thread between two days notices the shutdown at once; one inside a broker call
// would hold the exit up for as long as the broker takes, so it is left behind after this.
constexpr auto kBackfillGrace = std::chrono::milliseconds(500);
std::vector<Ticker*>& registry() {
    static std::vector<Ticker*> tickers;
    return tickers;
}

}  // namespace

// The registry lock is only ever taken without the GIL: a shutdown holds it while joining
// threads that may need the GIL to finish.
void register_ticker(Ticker* ticker) {
    ExitSafeGilRelease unlocked;
    std::lock_guard lock(registry_mutex);
    registry().push_back(ticker);
}

void unregister_ticker(Ticker* ticker) {
    ExitSafeGilRelease unlocked;
    std::lock_guard lock(registry_mutex);
    auto& tickers = registry();
    tickers.erase(std::remove(tickers.begin(), tickers.end(), ticker), tickers.end());
}

void shut_down_all_tickers() {
    ExitSafeGilRelease unlocked;
    {
        std::lock_guard lock(registry_mutex);
        for (Ticker* ticker : registry()) ticker->shut_down();
    }
    std::unique_lock lock(backfill_mutex);
    backfill_done.wait_for(lock, kBackfillGrace, [] { return live_backfills == 0; });
}

static void feeding_thread_started() {
    std::lock_guard lock(backfill_mutex);
    ++live_backfills;
}

void feeding_thread_ended() {
    std::lock_guard lock(backfill_mutex);
    if (--live_backfills == 0) backfill_done.notify_all();
}

void start_feeding_thread(const char* name, nb::object target, nb::object args) {
    nb::object thread = nb::module_::import_("threading")
                            .attr("Thread")(nb::arg("target") = std::move(target), nb::arg("args") = std::move(args),
                                            nb::arg("name") = name, nb::arg("daemon") = true);
    feeding_thread_started();
    try {
        thread.attr("start")();
    } catch (...) {
        feeding_thread_ended();
        throw;
    }
}

}  // namespace vkb::py
