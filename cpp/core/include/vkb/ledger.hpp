#pragma once
// The account as a whole: cash, open positions by actual contract, futures margin in use, equity at
// the last marks and buying power. Fed with every fill at the price and charges the position book
// booked, so that once flat its cash equals the book's capital.
//
// Stocks move their whole amount through cash (a short sale takes the proceeds in and owes the
// shares back); futures move only their charges at entry and the realised price difference at a
// cover (first in, first out within one contract), while the exchange holds their initial margin.
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "records/product_type.hpp"
#include "vkb/margin_schedule.hpp"
#include "vkb/session_calendar.hpp"

namespace vkb {

struct LedgerFill {
    std::string code;
    std::string contract;  // the contract month the fill traded, "" when the data names none
    ProductType market = ProductType::Stock;
    bool buy = true;
    std::int64_t quantity = 0;  // lots or contracts
    std::int64_t unit = 1;      // shares per lot, or currency per index point
    double price = 0.0;         // as booked, slippage included
    double charges = 0.0;       // fee + tax + fixed cost this fill paid
    double time = std::numeric_limits<double>::quiet_NaN();  // epoch seconds; NaN leaves the clock
};

struct LedgerPosition {
    std::string code;
    std::string contract;
    ProductType market = ProductType::Stock;
    bool long_side = true;
    std::int64_t quantity = 0;
    double entry_price = 0.0;  // quantity-weighted over the open lots
    double last_price = 0.0;   // the entry price until marked
    double unrealised = 0.0;   // price move x quantity x unit, before costs
};

// A family whose margin came from its first row for a date before it; told once per family.
struct MarginNotice {
    std::string family;
    std::int64_t first_date = 0;
};

class Ledger {
public:
    explicit Ledger(double initial_cash = 0.0);

    // Back to `initial_cash` with nothing open and no marks; margins and calendar stay.
    void reset(double initial_cash);
    void set_margins(std::shared_ptr<const MarginSchedule> margins);
    const MarginSchedule& margins() const { return *margins_; }
    // The calendar that gives a time its trading date (a night session counts for the next one).
    void set_calendar(std::shared_ptr<const SessionCalendar> calendar, int utc_offset_hours);
    void set_utc_offset_hours(int utc_offset_hours) { utc_offset_hours_ = utc_offset_hours; }

    // Throws std::invalid_argument, before anything changes, for a quantity or unit below 1, a
    // price that is not a positive finite number, or charges that are not finite.
    void book(const LedgerFill& fill);
    // The last price of a code (every contract of it), or of one contract of it. A price that is
    // not a positive finite number is ignored (returns false); a time that is not finite leaves the clock.
    bool mark(std::string_view code, double price, double time, std::optional<std::string_view> contract = {});

    double cash() const { return cash_; }
    double equity() const;
    // Open futures at their marks against their entries, longs and shorts alike.
    double futures_unrealised() const;
    // Open contracts x the initial margin in force on the clock's trading date.
    double margin_in_use() const;
    // Stocks: cash less the margin in use and any futures loss; futures: equity less the margin in use.
    double buying_power(ProductType market) const;
    // Per contract, in force on the trading date of `time` (of the clock when not given); 0 for a
    // family the table does not list.
    double initial_margin(std::string_view code, std::optional<double> time = std::nullopt) const;

    std::vector<LedgerPosition> open_positions() const;  // by code, then contract
    bool has_positions() const { return !holdings_.empty(); }
    // The latest fill or mark time seen.
    std::optional<double> clock() const { return clock_; }
    std::int64_t trading_date(double time) const;
    // Notices raised since the last call.
    std::vector<MarginNotice> take_margin_notices();

private:
    using Key = std::pair<std::string, std::string>;  // code, contract
    struct Lot {
        double price;
        std::int64_t quantity;
    };
    struct Holding {
        ProductType market = ProductType::Stock;
        std::int64_t unit = 1;
        bool long_side = true;
        std::deque<Lot> lots;
    };
    struct Mark {
        double price;
        std::uint64_t sequence;
    };

    std::optional<double> last_price(const Key& key) const;
    double margin_at(std::string_view code, std::optional<std::int64_t> trading_date) const;
    void advance_clock(double time);

    double cash_;
    std::map<Key, Holding> holdings_;
    std::map<std::string, Mark, std::less<>> code_marks_;
    std::map<Key, Mark> contract_marks_;
    std::uint64_t mark_sequence_ = 0;
    std::optional<double> clock_;
    std::shared_ptr<const MarginSchedule> margins_;
    std::shared_ptr<const SessionCalendar> calendar_;
    int utc_offset_hours_ = 0;  // the exchange clock, given with the calendar
    mutable std::set<std::string, std::less<>> noticed_;
    mutable std::vector<MarginNotice> notices_;
};

}  // namespace vkb
