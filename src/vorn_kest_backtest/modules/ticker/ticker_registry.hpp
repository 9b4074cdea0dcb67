#pragma once
// Live Tickers, so interpreter exit can end their replays and join their threads before the
// runtime goes away.
namespace vkb::py {

class Ticker;

void register_ticker(Ticker* ticker);
void unregister_ticker(Ticker* ticker);
// Registered with atexit at module load.
void shut_down_all_tickers();
// Backfilling and day-reading threads that are still running, so exit can give them a moment to see
// the shutdown.
void feeding_thread_started();
void feeding_thread_ended();

}  // namespace vkb::py
