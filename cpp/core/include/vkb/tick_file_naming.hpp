#pragma once
// Names of the per-day tick cache files. The code and the date come from the caller and end up
// in a file name, so anything that could leave the cache folder is refused first.
#include <string>
#include <string_view>

namespace vkb {

// Throws std::invalid_argument naming the value when it holds '/', '\\', "..", or a NUL.
void check_path_component(std::string_view value);

// "<code> <date> - ticks.csv" after checking both parts.
std::string tick_filename(std::string_view code, std::string_view date);

// Cache folder name of a tick source other than the default broker: the id's letters, digits,
// '_' and '-' (at most 40; anything else becomes '_') for a person to recognise it, then a hash of the whole id, so two
// sources never share a folder and one source always finds its own.
std::string tick_source_folder(std::string_view source_id);

}  // namespace vkb
