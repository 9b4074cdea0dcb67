#pragma once
// The terms of each futures family (NT$ per index point, tick in points), compiled in from
// cpp/core/data/futures_contracts.csv.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vkb {

// A family outside the table moves in whole points.
inline constexpr double kDefaultFuturesTick = 1.0;

struct ContractTerms {
    std::string family;
    std::int64_t point_value = 0;
    double tick_size = 0.0;
    std::string name;
};

// The family of a futures code: its first three characters ("TXFR1" -> "TXF").
std::string_view futures_family_of(std::string_view code);

// Rows of a table with the columns family,point_value,tick_size,name (header first). Throws
// std::invalid_argument naming the line for a missing field, a point value that is not a positive
// whole number or a tick that is not a positive whole number of hundredths.
std::vector<ContractTerms> parse_contract_terms(std::string_view csv);

// The compiled-in table, in file order.
const std::vector<ContractTerms>& futures_contracts();
// The terms of a code's family; null for a family outside the table.
const ContractTerms* futures_contract(std::string_view code);
// The code's family tick, or kDefaultFuturesTick.
double futures_tick_of(std::string_view code);

}  // namespace vkb
