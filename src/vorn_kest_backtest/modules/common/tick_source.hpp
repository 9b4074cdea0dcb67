#pragma once
// The C-level door through which the positions module's replay driver takes ticks straight from a
// Ticker's engine. The two extension modules share no C++ types at run time, so the ticker hands
// out a capsule holding a plain table of functions and the Ticker it serves; the driver holds the
// Ticker object itself for as long as it uses the capsule.
#include <Python.h>

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
    long long qty;
    long long tick_type;
    int backfilling;
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
    // Grants the next tick; -1 with a Python exception set on failure.
    int (*allow_next)(void* ticker);
    // allow_next then pop, in one step of the engine when the item is there at once.
    int (*allow_and_pop)(void* ticker, VkbTickView* tick, PyObject** object);
    // The tick record a pop_tick of this tick would have returned (new reference, NULL on error).
    PyObject* (*record)(void* ticker, const VkbTickView* tick);
};

struct VkbTickSource {
    const VkbTickSourceApi* api;
    void* ticker;
};

}

inline constexpr const char* kVkbTickSourceCapsule = "vorn_kest_backtest.tick_source";
inline constexpr int kVkbTickSourceVersion = 2;
