#include "vkb/replay_messages.hpp"

#include <cstdio>

namespace vkb {

std::string replay_empty_message() { return "[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]"; }

std::string replay_end_message(std::size_t total, std::size_t sent, double seconds) {
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.2f", seconds);
    return "[green]傳送 Tick 資料結束, 需傳送資料共 " + std::to_string(total) + " 筆, 已傳送 " +
           std::to_string(sent) + " 筆, 耗時 " + elapsed + " 秒[/green]";
}

}  // namespace vkb
