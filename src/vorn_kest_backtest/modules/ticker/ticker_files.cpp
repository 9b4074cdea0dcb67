// The Ticker's file and frame methods, done by the Python tick data path; the replay takes a day's columns.
#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "tick_columns.hpp"
#include "ticker_impl.hpp"
#include "vkb/tick_file_naming.hpp"

namespace vkb::py {

namespace {

std::string as_text(const nb::object& value, const char* name) {
    if (!nb::isinstance<nb::str>(value))
        throw nb::type_error((std::string(name) + " 必須是文字: " + nb::cast<std::string>(nb::repr(value))).c_str());
    return nb::cast<std::string>(value);
}

}  // namespace

nb::object ticks_function(const char* module, const char* name) {
    return nb::module_::import_((std::string("vorn_kest_backtest.ticks.") + module).c_str()).attr(name);
}

bool is_replay_cancelled(const nb::python_error& error) {
    return error.matches(ticks_function("combine", "ReplayCancelled"));
}

std::vector<CodeMarket> code_markets_from(const nb::handle& codes) {
    std::vector<CodeMarket> out;
    for (nb::handle entry : codes)
        out.push_back({nb::cast<std::string>(entry["code"]), nb::cast<std::string>(entry["market"])});
    return out;
}

nb::list code_market_pairs(const std::vector<CodeMarket>& codes) {
    nb::list pairs;
    for (const CodeMarket& entry : codes)
        pairs.append(nb::make_tuple(nb::str(entry.code.c_str(), entry.code.size()),
                                    nb::str(entry.market.c_str(), entry.market.size())));
    return pairs;
}

nb::object Ticker::generate_save_path(const nb::object& file_name, const nb::tuple& sub_folder) {
    return ticks_function("fetch", "generate_save_path")(file_name, *sub_folder);
}

std::string Ticker::tick_filename_formatter(const nb::object& code, const nb::object& date) {
    const std::string c = as_text(code, "code");
    const std::string d = as_text(date, "date");
    return tick_filename(c, d);
}

nb::object Ticker::make_kest_contract_object(const nb::object& code, const nb::object& market_type) {
    const bool stock = nb::isinstance<nb::str>(market_type) && nb::cast<std::string>(market_type) == "Stock";
    return api.attr("Contracts").attr(stock ? "Stocks" : "Futures")[code];
}

nb::object Ticker::process_and_combine_ticks(const nb::object& codes, const nb::object& start_from,
                                             const nb::object& end_to) {
    failed_days = nb::list();
    return ticks_function("combine", "combine")(nb::find(this), code_market_pairs(code_markets_from(codes)),
                                                start_from, end_to);
}

nb::object Ticker::get_ticks_df(const nb::object& code, const nb::object& market_type, const nb::object& start_from,
                                const nb::object& end_to) {
    nb::dict entry;
    entry["code"] = code;
    entry["market"] = market_type;
    nb::list codes;
    codes.append(entry);
    return process_and_combine_ticks(codes, start_from, end_to);
}

nb::object Ticker::is_current_function(std::uint64_t generation) const {
    return nb::cpp_function([engine = engine_, generation] { return engine->is_current(generation); });
}

bool Ticker::stream_day(const nb::object& stream, std::uint64_t generation) {
    nb::object day;
    try {
        day = stream.attr("next_day")(nb::find(this), is_current_function(generation));
    } catch (const nb::python_error& e) {
        if (is_replay_cancelled(e)) throw ReplayCancelled{};
        throw;
    }
    if (day.is(nb::bool_(false))) {
        engine_->finish_live(generation);
        return false;
    }
    if (!day.is_none()) engine_->append_live(generation, batch_from_columns(day));
    return true;
}

}  // namespace vkb::py
