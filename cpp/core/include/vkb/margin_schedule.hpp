#pragma once
// Initial margins per futures family as the exchange dates them: each row takes effect on a
// trading date and holds until the family's next row.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "vkb/contract_terms.hpp"

namespace vkb {

struct MarginRow {
    std::string family;
    std::int64_t effective_date = 0;  // trading date, days since 1970-01-01
    double initial_margin = 0.0;      // per contract
};

struct MarginLookup {
    double initial_margin = 0.0;  // 0 for a family without rows (unchecked)
    bool listed = false;          // the family has rows
    // The date came before the family's first row, whose margin was used.
    bool before_first_row = false;
    std::int64_t first_date = 0;
};

class MarginSchedule {
public:
    // Throws std::invalid_argument for an empty family or a margin that is negative or not finite.
    // A second row for the same family and date replaces the first.
    void add(const MarginRow& row);
    MarginLookup lookup(std::string_view family, std::int64_t trading_date) const;
    MarginLookup lookup_code(std::string_view code, std::int64_t trading_date) const {
        return lookup(futures_family_of(code), trading_date);
    }
    // Families in name order, each family's rows by date.
    std::vector<MarginRow> rows() const;
    bool empty() const { return families_.empty(); }

private:
    std::map<std::string, std::map<std::int64_t, double>, std::less<>> families_;
};

}  // namespace vkb
