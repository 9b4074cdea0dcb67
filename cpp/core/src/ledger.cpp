#include "vkb/ledger.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "vkb/civil_time.hpp"

namespace vkb {

namespace {

double sign_of(bool long_side) { return long_side ? 1.0 : -1.0; }

}  // namespace

Ledger::Ledger(double initial_cash)
    : cash_(initial_cash),
      margins_(std::make_shared<MarginSchedule>()),
      calendar_(std::make_shared<SessionCalendar>()) {}

void Ledger::reset(double initial_cash) {
    cash_ = initial_cash;
    holdings_.clear();
    code_marks_.clear();
    contract_marks_.clear();
    clock_.reset();
}

void Ledger::set_margins(std::shared_ptr<const MarginSchedule> margins) {
    margins_ = margins ? std::move(margins) : std::make_shared<MarginSchedule>();
    noticed_.clear();
}

void Ledger::set_calendar(std::shared_ptr<const SessionCalendar> calendar, int utc_offset_hours) {
    calendar_ = calendar ? std::move(calendar) : std::make_shared<SessionCalendar>();
    utc_offset_hours_ = utc_offset_hours;
}

void Ledger::advance_clock(double time) {
    if (std::isfinite(time) && (!clock_ || time > *clock_)) clock_ = time;
}

void Ledger::book(const LedgerFill& fill) {
    if (fill.quantity < 1) throw std::invalid_argument("ledger fill quantity must be 1 or more: " + std::to_string(fill.quantity));
    if (fill.unit < 1) throw std::invalid_argument("ledger fill unit must be 1 or more: " + std::to_string(fill.unit));
    if (!(fill.price > 0) || !std::isfinite(fill.price))
        throw std::invalid_argument("ledger fill price must be a positive finite number: " + std::to_string(fill.price));
    if (!std::isfinite(fill.charges))
        throw std::invalid_argument("ledger fill charges must be finite: " + std::to_string(fill.charges));

    const double units = static_cast<double>(fill.unit);
    if (fill.market == ProductType::Stock) {
        const double amount = fill.price * static_cast<double>(fill.quantity) * units;
        cash_ += fill.buy ? -amount : amount;
    }
    cash_ -= fill.charges;

    Key key{fill.code, fill.contract};
    Holding& holding = holdings_[key];
    std::int64_t remaining = fill.quantity;
    if (!holding.lots.empty() && holding.long_side != fill.buy) {
        while (remaining > 0 && !holding.lots.empty()) {
            Lot& lot = holding.lots.front();
            const std::int64_t matched = std::min(remaining, lot.quantity);
            if (fill.market == ProductType::Future)
                cash_ += sign_of(holding.long_side) * (fill.price - lot.price) * static_cast<double>(matched) * units;
            lot.quantity -= matched;
            remaining -= matched;
            if (lot.quantity == 0) holding.lots.pop_front();
        }
    }
    if (remaining > 0) {
        if (holding.lots.empty()) {
            holding.market = fill.market;
            holding.unit = fill.unit;
            holding.long_side = fill.buy;
        }
        holding.lots.push_back({fill.price, remaining});
    }
    if (holding.lots.empty()) holdings_.erase(key);
    advance_clock(fill.time);
}

bool Ledger::mark(std::string_view code, double price, double time, std::optional<std::string_view> contract) {
    if (!(price > 0) || !std::isfinite(price)) return false;
    const Mark m{price, ++mark_sequence_};
    if (contract)
        contract_marks_[Key{std::string(code), std::string(*contract)}] = m;
    else if (auto found = code_marks_.find(code); found != code_marks_.end())
        found->second = m;
    else
        code_marks_.emplace(std::string(code), m);
    advance_clock(time);
    return true;
}

std::optional<double> Ledger::last_price(const Key& key) const {
    std::optional<Mark> best;
    if (auto found = code_marks_.find(key.first); found != code_marks_.end()) best = found->second;
    if (auto found = contract_marks_.find(key); found != contract_marks_.end())
        if (!best || found->second.sequence > best->sequence) best = found->second;
    if (!best) return std::nullopt;
    return best->price;
}

double Ledger::equity() const {
    double total = cash_;
    for (const auto& [key, holding] : holdings_) {
        const std::optional<double> last = last_price(key);
        const double sign = sign_of(holding.long_side);
        const double units = static_cast<double>(holding.unit);
        for (const Lot& lot : holding.lots) {
            const double price = last.value_or(lot.price);
            const double quantity = static_cast<double>(lot.quantity);
            total += holding.market == ProductType::Stock ? sign * price * quantity * units
                                                          : sign * (price - lot.price) * quantity * units;
        }
    }
    return total;
}

double Ledger::futures_unrealised() const {
    double total = 0.0;
    for (const auto& [key, holding] : holdings_) {
        if (holding.market != ProductType::Future) continue;
        const std::optional<double> last = last_price(key);
        for (const Lot& lot : holding.lots)
            total += sign_of(holding.long_side) * (last.value_or(lot.price) - lot.price) *
                     static_cast<double>(lot.quantity) * static_cast<double>(holding.unit);
    }
    return total;
}

std::int64_t Ledger::trading_date(double time) const {
    return calendar_->futures_trading_date(to_wall_micros(time, utc_offset_hours_));
}

double Ledger::margin_at(std::string_view code, std::optional<std::int64_t> date) const {
    const MarginLookup found =
        margins_->lookup_code(code, date.value_or(std::numeric_limits<std::int64_t>::min()));
    if (found.before_first_row) {
        const std::string_view family = futures_family_of(code);
        if (noticed_.insert(std::string(family)).second) notices_.push_back({std::string(family), found.first_date});
    }
    return found.initial_margin;
}

double Ledger::margin_in_use() const {
    std::optional<std::int64_t> date;
    if (clock_) date = trading_date(*clock_);
    double total = 0.0;
    for (const auto& [key, holding] : holdings_) {
        if (holding.market != ProductType::Future) continue;
        std::int64_t contracts = 0;
        for (const Lot& lot : holding.lots) contracts += lot.quantity;
        total += static_cast<double>(contracts) * margin_at(key.first, date);
    }
    return total;
}

double Ledger::buying_power(ProductType market) const {
    if (market == ProductType::Future) return equity() - margin_in_use();
    return cash_ - margin_in_use() - std::max(0.0, -futures_unrealised());
}

double Ledger::initial_margin(std::string_view code, std::optional<double> time) const {
    if (!time || !std::isfinite(*time)) time = clock_;
    std::optional<std::int64_t> date;
    if (time) date = trading_date(*time);
    return margin_at(code, date);
}

std::vector<LedgerPosition> Ledger::open_positions() const {
    std::vector<LedgerPosition> out;
    for (const auto& [key, holding] : holdings_) {
        LedgerPosition p;
        p.code = key.first;
        p.contract = key.second;
        p.market = holding.market;
        p.long_side = holding.long_side;
        double cost = 0.0;
        for (const Lot& lot : holding.lots) {
            p.quantity += lot.quantity;
            cost += lot.price * static_cast<double>(lot.quantity);
        }
        p.entry_price = cost / static_cast<double>(p.quantity);
        const std::optional<double> last = last_price(key);
        p.last_price = last.value_or(p.entry_price);
        for (const Lot& lot : holding.lots)
            p.unrealised += sign_of(holding.long_side) * (last.value_or(lot.price) - lot.price) *
                            static_cast<double>(lot.quantity) * static_cast<double>(holding.unit);
        out.push_back(std::move(p));
    }
    return out;
}

std::vector<MarginNotice> Ledger::take_margin_notices() {
    std::vector<MarginNotice> out;
    out.swap(notices_);
    return out;
}

}  // namespace vkb
