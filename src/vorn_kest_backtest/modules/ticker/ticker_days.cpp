// The Ticker's way to the Python tick data path, which does the file and frame work; the replay takes a day's columns.
#include <string>

#include "tick_columns.hpp"
#include "ticker_impl.hpp"

namespace vkb::py {

nb::object ticks_function(const char* module, const char* name) {
    return nb::module_::import_((std::string("vorn_kest_backtest.ticks.") + module).c_str()).attr(name);
}

bool is_replay_cancelled(const nb::python_error& error) {
    return error.matches(ticks_function("combine", "ReplayCancelled"));
}

nb::object code_market_pairs(const nb::handle& codes) { return ticks_function("combine", "code_markets")(codes); }

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
