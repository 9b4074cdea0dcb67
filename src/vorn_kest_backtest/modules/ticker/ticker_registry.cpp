#include "ticker_registry.hpp"

#include <Python.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "ticker_impl.hpp"

namespace vkb::py {

namespace {

std::mutex registry_mutex;
std::vector<Ticker*>& registry() {
    static std::vector<Ticker*> tickers;
    return tickers;
}

}  // namespace

// The registry lock is only ever taken without the GIL: a shutdown holds it while joining
// threads that may need the GIL to finish.
void register_ticker(Ticker* ticker) {
    nb::gil_scoped_release unlocked;
    std::lock_guard lock(registry_mutex);
    registry().push_back(ticker);
}

void unregister_ticker(Ticker* ticker) {
    nb::gil_scoped_release unlocked;
    std::lock_guard lock(registry_mutex);
    auto& tickers = registry();
    tickers.erase(std::remove(tickers.begin(), tickers.end(), ticker), tickers.end());
}

void shut_down_all_tickers() {
    nb::gil_scoped_release unlocked;
    std::lock_guard lock(registry_mutex);
    for (Ticker* ticker : registry()) ticker->shut_down();
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace vkb::py
