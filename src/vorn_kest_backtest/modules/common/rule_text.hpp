#pragma once
// Market rules as help texts state them, written from the core's own numbers so they cannot drift.
#include <cstdio>
#include <string>

namespace vkb::py {

// 3600 -> "01:00".
inline std::string clock_text(int second_of_day) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", second_of_day / 3600 % 24, second_of_day / 60 % 60);
    return text;
}

// 0.0125 -> "1.25%".
inline std::string percent_text(double rate) {
    std::string text = std::to_string(rate * 100.0);
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
    return text + "%";
}

}  // namespace vkb::py
