#include "vkb/contract_terms.hpp"

#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "vkb/contract_table_text.hpp"

namespace vkb {

namespace {

std::vector<std::string_view> split(std::string_view line, char separator) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (std::size_t at = line.find(separator); at != std::string_view::npos; at = line.find(separator, start)) {
        fields.push_back(line.substr(start, at - start));
        start = at + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

double number(std::string_view text, std::size_t line) {
    const std::string owned(text);
    char* end = nullptr;
    const double value = std::strtod(owned.c_str(), &end);
    if (owned.empty() || end != owned.c_str() + owned.size())
        throw std::invalid_argument("contract table line " + std::to_string(line) + ": not a number: " + owned);
    return value;
}

ContractTerms row_of(std::string_view text, std::size_t line) {
    const auto fields = split(text, ',');
    if (fields.size() != 4 || fields[0].empty())
        throw std::invalid_argument("contract table line " + std::to_string(line) + ": expected 4 fields");
    ContractTerms terms{std::string(fields[0]), 0, number(fields[2], line), std::string(fields[3])};
    const double point_value = number(fields[1], line);
    if (!(point_value > 0) || point_value != std::floor(point_value))
        throw std::invalid_argument("contract table line " + std::to_string(line) + ": point value " +
                                    std::string(fields[1]));
    terms.point_value = static_cast<std::int64_t>(point_value);
    const double cents = std::nearbyint(terms.tick_size * 100.0);
    if (!(cents >= 1) || std::fabs(terms.tick_size * 100.0 - cents) > 1e-9)
        throw std::invalid_argument("contract table line " + std::to_string(line) + ": tick " + std::string(fields[2]));
    return terms;
}

}  // namespace

std::string_view futures_family_of(std::string_view code) { return code.substr(0, 3); }

std::vector<ContractTerms> parse_contract_terms(std::string_view csv) {
    std::vector<ContractTerms> terms;
    std::size_t line = 0;
    while (!csv.empty()) {
        const std::size_t end = csv.find('\n');
        std::string_view text = csv.substr(0, end);
        csv = end == std::string_view::npos ? std::string_view{} : csv.substr(end + 1);
        ++line;
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (line == 1 || text.empty()) continue;
        terms.push_back(row_of(text, line));
    }
    return terms;
}

const std::vector<ContractTerms>& futures_contracts() {
    static const std::vector<ContractTerms> table = parse_contract_terms(kFuturesContractsCsv);
    return table;
}

const ContractTerms* futures_contract(std::string_view code) {
    const std::string_view family = futures_family_of(code);
    for (const ContractTerms& terms : futures_contracts())
        if (terms.family == family) return &terms;
    return nullptr;
}

double futures_tick_of(std::string_view code) {
    const ContractTerms* terms = futures_contract(code);
    return terms == nullptr ? kDefaultFuturesTick : terms->tick_size;
}

}  // namespace vkb
