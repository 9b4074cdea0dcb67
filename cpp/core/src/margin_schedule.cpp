#include "vkb/margin_schedule.hpp"

#include <cmath>
#include <iterator>
#include <stdexcept>

namespace vkb {

void MarginSchedule::add(const MarginRow& row) {
    if (row.family.empty()) throw std::invalid_argument("margin row without a family");
    if (!std::isfinite(row.initial_margin) || row.initial_margin < 0)
        throw std::invalid_argument("margin of " + row.family + " must be a finite number of 0 or more: " +
                                    std::to_string(row.initial_margin));
    families_[row.family][row.effective_date] = row.initial_margin;
}

MarginLookup MarginSchedule::lookup(std::string_view family, std::int64_t trading_date) const {
    MarginLookup out;
    const auto found = families_.find(family);
    if (found == families_.end()) return out;
    const auto& dated = found->second;
    out.listed = true;
    out.first_date = dated.begin()->first;
    auto after = dated.upper_bound(trading_date);
    if (after == dated.begin()) {
        out.before_first_row = true;
        out.initial_margin = after->second;
        return out;
    }
    out.initial_margin = std::prev(after)->second;
    return out;
}

std::vector<MarginRow> MarginSchedule::rows() const {
    std::vector<MarginRow> out;
    for (const auto& [family, dated] : families_)
        for (const auto& [date, margin] : dated) out.push_back({family, date, margin});
    return out;
}

}  // namespace vkb
