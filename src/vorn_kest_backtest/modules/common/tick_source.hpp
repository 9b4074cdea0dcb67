#pragma once
// The C-level door through which the positions module's replay driver takes ticks straight from a
// Ticker's engine. The two extension modules share no C++ types at run time, so the ticker hands
// out a capsule holding a plain table of functions and the Ticker it serves; the driver holds the
// Ticker object itself for as long as it uses the capsule.
#include <Python.h>
#include <stddef.h>
#include <stdint.h>

extern "C" {

// One replayed tick as numbers; `code` and `market` are borrowed str objects, alive at least until
// the next pop (take a reference to keep them).
struct VkbTickView {
    PyObject* code;
    PyObject* market;
    double timestamp;
    double close;
    double bid_price;  // NaN when the tick carries no quote
    double ask_price;
    long long bid_volume;  // 0 where the tick carries no size
    long long ask_volume;
    long long qty;
    long long tick_type;
    int backfilling;
};

// Live ticks leased to the driver as the batch's columns, rows [begin, begin + count). The columns and
// the str objects (by code_index) stay valid until the lease is settled, which must happen before any
// call into Python.
struct VkbTickSpan {
    const int64_t* ts_ns;
    const double* close;
    const double* bid_price;
    const double* ask_price;
    const int64_t* bid_volume;
    const int64_t* ask_volume;
    const int64_t* volume;
    const int64_t* tick_type;
    const uint32_t* code_index;
    PyObject* const* codes;
    PyObject* const* markets;
    int utc_offset_hours;
    size_t begin;
    size_t count;
};

enum VkbItemKind {
    VKB_ITEM_ERROR = -1,   // a Python exception is set
    VKB_ITEM_TICK = 0,     // the view is filled
    VKB_ITEM_EXIT = 1,     // the end-of-replay status
    VKB_ITEM_STATUS = 2,   // another status record (it took no permit)
    VKB_ITEM_OBJECT = 3,   // a record put into the queue by Python: *object is a new reference
};

struct VkbTickSourceApi {
    int version;
    // Blocks with the GIL released until an item is there; call with the GIL held.
    int (*pop)(void* ticker, VkbTickView* tick, PyObject** object);
    // Grants the next tick, then pops: one step of the engine when the item is there at once.
    int (*allow_and_pop)(void* ticker, VkbTickView* tick, PyObject** object);
    // In place of allow_and_pop: up to `max` live ticks, each taken standing for one allow_and_pop.
    // 1 leased, 0 none (use allow_and_pop), -1 with a Python exception set.
    int (*lease)(void* ticker, size_t max, VkbTickSpan* span);
    // The first `taken` rows of the current lease were taken; ends the lease. -1 with an exception set.
    int (*settle)(void* ticker, size_t taken);
    // The tick record a pop_tick of this tick would have returned (new reference, NULL on error).
    PyObject* (*record)(void* ticker, const VkbTickView* tick);
};

struct VkbTickSource {
    const VkbTickSourceApi* api;
    void* ticker;
};

}

inline constexpr const char* kVkbTickSourceCapsule = "vorn_kest_backtest.tick_source";
inline constexpr int kVkbTickSourceVersion = 3;
