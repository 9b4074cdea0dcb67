#include "vkb/tick_file_naming.hpp"

#include <cstdint>
#include <cstdio>
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

std::string tick_source_folder(std::string_view source_id) {
    if (source_id.empty()) throw std::invalid_argument("Tick 來源代號不能是空字串");
    std::string readable;
    for (char c : source_id) {
        if (readable.size() == 40) break;
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                          c == '-';
        if (kept) readable += c;
        else if (!readable.empty() && readable.back() != '_') readable += '_';
    }
    while (!readable.empty() && readable.front() == '_') readable.erase(0, 1);
    // FNV-1a 64: stable across runs, machines and compilers, unlike std::hash.
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : source_id) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return (readable.empty() ? std::string("source") : readable) + "-" + hex;
}

}  // namespace vkb
