#pragma once
// Console lines announcing the end of a replay.
#include <cstddef>
#include <string>

namespace vkb {

std::string replay_empty_message();
std::string replay_end_message(std::size_t total, std::size_t sent, double seconds);

}  // namespace vkb
