#pragma once
#include <nanobind/nanobind.h>

// Live Tickers, so interpreter exit can end their replays and join their threads before the
// runtime goes away.
namespace vkb::py {

namespace nb = nanobind;

class Ticker;

void register_ticker(Ticker* ticker);
void unregister_ticker(Ticker* ticker);
// Registered with atexit at module load.
void shut_down_all_tickers();
// Backfilling and day-reading threads: daemon Python threads that feed a replay, counted while they
// run so exit can give them a moment to see the shutdown. Each calls feeding_thread_ended last.
void start_feeding_thread(const char* name, nb::object target, nb::object args);
void feeding_thread_ended();

}  // namespace vkb::py
