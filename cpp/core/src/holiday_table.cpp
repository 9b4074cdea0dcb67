#include "vkb/holiday_table.hpp"

#include <string>
#include <stdexcept>
#include <string_view>

#include "vkb/civil_time.hpp"

namespace vkb {

namespace {

std::vector<std::string_view> split_fields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t comma = line.find(',', start);
        fields.push_back(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (comma == std::string_view::npos) return fields;
        start = comma + 1;
    }
}

std::string_view trimmed(std::string_view field) {
    while (!field.empty() && (field.back() == '\r' || field.back() == ' ')) field.remove_suffix(1);
    while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
    if (field.size() >= 2 && field.front() == '"' && field.back() == '"') field = field.substr(1, field.size() - 2);
    return field;
}

bool parse_date(std::string_view text, std::int64_t& days) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    int y = 0, m = 0, d = 0;
    for (std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u})
        if (text[i] < '0' || text[i] > '9') return false;
    y = std::stoi(std::string(text.substr(0, 4)));
    m = std::stoi(std::string(text.substr(5, 2)));
    d = std::stoi(std::string(text.substr(8, 2)));
    if (m < 1 || m > 12 || d < 1 || d > 31) return false;
    days = days_from_civil(y, m, d);
    int yy = 0, mm = 0, dd = 0;
    civil_from_days(days, yy, mm, dd);
    return yy == y && mm == m && dd == d;
}

}  // namespace

std::vector<std::int64_t> parse_holiday_table(std::istream& in) {
    std::string line;
    if (!std::getline(in, line)) throw std::invalid_argument("empty holiday table");
    if (line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
    const auto header = split_fields(line);
    std::size_t column = header.size();
    for (std::size_t i = 0; i < header.size(); ++i)
        if (trimmed(header[i]) == "Date") column = i;
    if (column == header.size()) throw std::invalid_argument("no \"Date\" column in header: " + line);
    std::vector<std::int64_t> days;
    while (std::getline(in, line)) {
        if (trimmed(line).empty()) continue;
        const auto fields = split_fields(line);
        std::int64_t day = 0;
        if (column >= fields.size() || !parse_date(trimmed(fields[column]), day))
            throw std::invalid_argument("bad \"Date\" row: " + line);
        days.push_back(day);
    }
    return days;
}

}  // namespace vkb
