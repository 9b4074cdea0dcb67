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

void register_ticker(Ticker* ticker) {
    std::lock_guard lock(registry_mutex);
    registry().push_back(ticker);
}

void unregister_ticker(Ticker* ticker) {
    std::lock_guard lock(registry_mutex);
    auto& tickers = registry();
    tickers.erase(std::remove(tickers.begin(), tickers.end(), ticker), tickers.end());
}

void shut_down_all_tickers() {
    std::vector<Ticker*> live;
    {
        std::lock_guard lock(registry_mutex);
        live = registry();
    }
    for (Ticker* ticker : live) ticker->shut_down();
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace vkb::py
