#pragma once
// Writing the tick cache: one day's file and its source stamp, at once or behind a running replay.
#include <nanobind/nanobind.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace vkb::py {

namespace nb = nanobind;

// Beside each cache file of a stamped source: the stamp of the data it was made from.
std::string stamp_path(const std::string& cache_path);
// The day's CSV, then its stamp (none: the source keeps none), each through a temporary file and a
// rename: a crash in between leaves an old stamp, so the day is read again. Call with the GIL held.
void write_cache_day(const nb::object& frame, const std::string& path, const nb::object& stamp);

// One writer for the process. While any run is reading its days (`hold`), the days read are queued;
// they are written on the writer's thread once the reading is over, so a replay starts as soon as its
// data is read and the cache is written while it runs. A failed write prints a red line and costs the
// next run a read of the source, never this run its ticks.
class TickCacheWriter {
public:
    struct Job {
        nb::object frame, stamp;
        std::string path, code, date;
    };

    void hold();
    void release();
    // Queues the day (GIL held). After `shut_down` the day is written at once.
    void submit(Job&& job);
    // Until no write of this path is queued or under way; until every queued day is written when
    // `path` is empty. Queued days are written meanwhile even while a run reads. The GIL is released
    // while waiting.
    void wait_for(const std::string& path);
    // Writes what is queued and ends the thread; called without the GIL at interpreter exit.
    void shut_down();

private:
    void run();
    void write(Job& job);

    std::mutex mutex_;
    std::condition_variable work_, idle_;
    std::deque<Job> jobs_;
    bool pending_locked(const std::string& path) const;

    std::string writing_;  // the path being written, empty when none
    int holds_ = 0;
    int waiting_ = 0;  // callers in wait_for: the queue is written whatever the holds
    bool stopping_ = false;
    bool closed_ = false;
    std::thread thread_;
};

TickCacheWriter& tick_cache_writer();

// Marks the current thread as reading the days of a replay: the days it fetches are queued for the
// writer instead of written before the next day is read.
class DeferredCacheWrites {
public:
    DeferredCacheWrites();
    ~DeferredCacheWrites();
    DeferredCacheWrites(const DeferredCacheWrites&) = delete;
    DeferredCacheWrites& operator=(const DeferredCacheWrites&) = delete;
    static bool active();

private:
    bool outer_;
};

}  // namespace vkb::py
