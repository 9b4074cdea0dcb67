#pragma once
// Errors of the tick data path that callers tell apart by type, not by message text.
#include <nanobind/nanobind.h>

#include <stdexcept>

namespace vkb::py {

namespace nb = nanobind;

inline constexpr const char* kNotLoggedInMessage = "Kestor API 尚未初始化, 請先登入Kestor API";

// Raised in Python as ticker.NotLoggedInError, a ValueError.
struct NotLoggedIn : std::runtime_error {
    NotLoggedIn() : std::runtime_error(kNotLoggedInMessage) {}
};

void bind_tick_errors(nb::module_& m);

}  // namespace vkb::py
