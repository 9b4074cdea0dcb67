// What the mapping views of book_views.py read and write: the open records of a code, the profit
// report and each code's statistics, built from the book in vkb_core.
#include <nanobind/stl/string.h>

#include "common/py_args.hpp"
#include "positions_support.hpp"

namespace vkb::py {

namespace {

nb::object sum_value(const std::optional<double>& sum) {
    return sum ? nb::object(nb::float_(*sum)) : nb::object(nb::int_(0));
}

void fill_account_record(nb::dict record, const AccountStats& s) {
    const Keys& k = keys();
    record[k.entry_times] = nb::int_(s.entry_times);
    record[k.cover_times] = nb::int_(s.cover_times);
    record[k.entry_amount] = sum_value(s.entry_amount);
    record[k.exit_amount] = sum_value(s.exit_amount);
    record[k.net_profit] = sum_value(s.net_profit);
    record[k.extra_fee] = sum_value(s.extra_fee);
    record[k.profit_times] = nb::int_(s.profit_times);
    record[k.loss_times] = nb::int_(s.loss_times);
    record[k.profit_total] = sum_value(s.profit_total);
    record[k.loss_total] = sum_value(s.loss_total);
    record[k.profit] = sum_value(s.profit);
}

nb::dict row_dict(const ProfitRow& row, const RowFields& f) {
    const Keys& k = keys();
    const PairSettlement& pair = row.settlement;
    nb::dict r;
    r[k.code] = f.code;
    r[k.entry_action] = f.entry_action;
    r[k.entry_dt] = f.entry_dt;
    r[k.entry_price] = f.entry_price;
    r[k.entry_origin_price] = f.entry_origin_price;
    r[k.exit_action] = f.exit_action;
    r[k.exit_dt] = f.exit_dt;
    r[k.exit_price] = f.exit_price;
    r[k.exit_origin_price] = f.exit_origin_price;
    r[k.qty] = nb::int_(row.qty);
    r[k.min_qty] = nb::int_(row.exit.min_qty);
    r[k.trade_cost] = nb::float_(pair.entry_cost);
    r[k.cover_cost] = nb::float_(pair.exit_cost);
    r[k.cover_cost_fee] = nb::float_(row.exit.fee);
    r[k.cover_cost_tax] = nb::float_(row.exit.tax);
    r[k.cover_cost_fixed] = f.cover_fixed;
    r[k.trade_cost_fee] = nb::float_(row.entry.fee);
    r[k.trade_cost_tax] = nb::int_(0);
    r[k.trade_cost_fixed] = f.trade_fixed;
    r[k.profit] = nb::float_(pair.profit);
    r[k.profit_ratio] = nb::float_(pair.profit_ratio);
    r[k.entry_amount] = nb::float_(pair.entry_amount);
    r[k.exit_amount] = nb::float_(pair.exit_amount);
    return r;
}

nb::list record_list(const Positions& p, const std::deque<OpenEntry>& side) {
    nb::list out;
    for (const OpenEntry& e : side) out.append(p.records.at(e.id));
    return out;
}

const SideBook& sides_of(const Positions& p, const std::string& code) {
    const SideBook* sides = p.book.codes().find(code);
    if (!sides) throw nb::key_error(code.c_str());
    return *sides;
}

void drop_records(Positions& p, const std::string& code) {
    if (const SideBook* old = p.book.codes().find(code))
        for (const auto* side : {&old->buy, &old->sell})
            for (const OpenEntry& e : *side) p.records.erase(e.id);
}

// Entries put in by hand: their records are kept as given and priced under the settings of the
// day when covered.
std::deque<OpenEntry> entries_from(Positions& p, nb::handle records) {
    const Keys& k = keys();
    std::deque<OpenEntry> out;
    for (nb::handle record : records) {
        OpenEntry e{p.book.next_id(), to_int64(get_item(record, k.quantity)), to_double(get_item(record, k.price)),
                    fill_limit(record), record_time(record, k.exchange_ts), {}};
        p.records.emplace(e.id, nb::borrow(record));
        out.push_back(e);
    }
    return out;
}

}  // namespace

nb::object account_record(Positions& p, const std::string& code) {
    const AccountStats* stats = p.book.stats().find(code);
    if (!stats) throw nb::key_error(code.c_str());
    auto [it, made] = p.stats_dicts.try_emplace(code);
    if (made) it->second = nb::dict();
    fill_account_record(nb::borrow<nb::dict>(it->second), *stats);
    return it->second;
}

void refresh_account_record(Positions& p, const std::string& code) {
    const auto it = p.stats_dicts.find(code);
    if (it != p.stats_dicts.end()) fill_account_record(nb::borrow<nb::dict>(it->second), *p.book.stats().find(code));
}

void bind_positions_book_access(PositionsClass& cls) {
    cls.def("_book_codes", [](const Positions& p) {
        nb::list out;
        for (const auto& [code, sides] : p.book.codes().items()) out.append(nb::str(code.c_str(), code.size()));
        return out;
    });
    cls.def("_book_sides", [](const Positions& p, const std::string& code) {
        const SideBook& sides = sides_of(p, code);
        nb::dict out;
        out[keys().buy] = record_list(p, sides.buy);
        out[keys().sell] = record_list(p, sides.sell);
        return out;
    });
    cls.def("_book_replace", [](Positions& p, const std::string& code, nb::handle sides) {
        SideBook book;
        book.buy = entries_from(p, get_item(sides, keys().buy));
        book.sell = entries_from(p, get_item(sides, keys().sell));
        drop_records(p, code);
        p.book.replace(code, std::move(book));
    });
    cls.def("_book_remove", [](Positions& p, const std::string& code) {
        drop_records(p, code);
        if (!p.book.remove(code)) throw nb::key_error(code.c_str());
    });
    cls.def("_report_profit", [](const Positions& p) { return sum_value(p.book.reported_profit()); });
    cls.def("_report_rows", [](Positions& p) {
        const auto& rows = p.book.rows();
        for (std::size_t i = p.row_dicts.size(); i < rows.size(); ++i)
            p.row_dicts.push_back(row_dict(rows[i], p.row_fields[i]));
        nb::list out;
        for (const nb::object& row : p.row_dicts) out.append(row);
        return out;
    });
    cls.def("_account_codes", [](const Positions& p) {
        nb::list out;
        for (const auto& [code, stats] : p.book.stats().items()) out.append(nb::str(code.c_str(), code.size()));
        return out;
    });
    cls.def("_account_record", [](Positions& p, const std::string& code) { return account_record(p, code); });
    // The code's statistics, made when it has none yet.
    cls.def("_account_info", [](Positions& p, const std::string& code) {
        p.book.stats_of(code);
        return account_record(p, code);
    });
}

}  // namespace vkb::py
