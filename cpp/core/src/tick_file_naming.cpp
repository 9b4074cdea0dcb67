#include "vkb/tick_file_naming.hpp"

#include <stdexcept>

namespace vkb {

void check_path_component(std::string_view value) {
    const bool unsafe = value.find('/') != std::string_view::npos ||
                        value.find('\\') != std::string_view::npos ||
                        value.find("..") != std::string_view::npos ||
                        value.find('\0') != std::string_view::npos;
    if (unsafe) {
        std::string shown;
        for (char c : value) shown += c == '\0' ? std::string("\\x00") : std::string(1, c);
        throw std::invalid_argument("不安全的檔名成分: " + shown);
    }
}

std::string tick_filename(std::string_view code, std::string_view date) {
    check_path_component(code);
    check_path_component(date);
    std::string name;
    name.reserve(code.size() + date.size() + 13);
    name.append(code).append(" ").append(date).append(" - ticks.csv");
    return name;
}

}  // namespace vkb
