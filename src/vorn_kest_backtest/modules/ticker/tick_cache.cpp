// Tick files: save paths, cache names, contracts, download and the per-day cache.
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <nanobind/stl/string.h>

#include "common/py_console.hpp"
#include "common/py_console.hpp"
#include "tick_errors.hpp"
#include "tick_frames.hpp"
#include "ticker_impl.hpp"
#include "vkb/civil_time.hpp"
#include "vkb/tick_file_naming.hpp"

namespace vkb::py {

namespace {

nb::object os_path() { return nb::module_::import_("os.path"); }

std::string as_text(const nb::object& value, const char* name) {
    if (!nb::isinstance<nb::str>(value))
        throw nb::type_error((std::string(name) + " 必須是文字: " + nb::cast<std::string>(nb::repr(value))).c_str());
    return nb::cast<std::string>(value);
}

// Days since the epoch of the date part of format_to_dt(text).
std::int64_t day_of(const nb::object& text) {
    nb::object dt = utils_module().attr("format_to_dt")(text);
    return days_from_civil(nb::cast<int>(dt.attr("year")), nb::cast<int>(dt.attr("month")),
                           nb::cast<int>(dt.attr("day")));
}

std::string day_text(std::int64_t days) {
    int y, m, d;
    civil_from_days(days, y, m, d);
    return format_date(y, m, d);
}

std::int64_t exchange_today() {
    const double now = nb::cast<double>(nb::module_::import_("time").attr("time")());
    const CivilDateTime t = to_civil(now, nb::cast<int>(basic_info().attr("utc_offset_hours")));
    return days_from_civil(t.year, t.month, t.day);
}

// Cache folder of the broker's ticks below the data directory. The default broker and an SDK object
// without `tick_source_id` keep kest/ticks; any other source gets a folder of its own.
nb::tuple cache_folder(const nb::object& api) {
    nb::object id = nb::getattr(api, "tick_source_id", nb::none());
    if (id.is_none()) return nb::make_tuple("kest", "ticks");
    if (!nb::isinstance<nb::str>(id))
        throw nb::type_error(("tick_source_id 必須是文字或 None: " + nb::cast<std::string>(nb::repr(id))).c_str());
    const std::string folder = tick_source_folder(nb::cast<std::string>(id));
    return nb::make_tuple("kest", "sources", nb::str(folder.c_str(), folder.size()));
}

// A broker whose `tick_cache` is false (ticks the caller already holds in memory) is read every time and
// leaves nothing in the data folder.
bool keeps_cache(const nb::object& api) {
    return static_cast<bool>(nb::bool_(nb::getattr(api, "tick_cache", nb::bool_(true))));
}

// The broker's text for the present state of one day's source data; none when it keeps none.
nb::object source_stamp(const nb::object& api, const nb::object& contract, const std::string& date) {
    nb::object stamp_of = nb::getattr(api, "tick_source_stamp", nb::none());
    if (stamp_of.is_none()) return nb::none();
    nb::object stamp = stamp_of(contract, nb::str(date.c_str(), date.size()));
    if (!nb::isinstance<nb::str>(stamp))
        throw nb::type_error(("tick_source_stamp 必須回傳文字: " + nb::cast<std::string>(nb::repr(stamp))).c_str());
    return stamp;
}

// Beside each cache file of a stamped source: the stamp of the data it was made from.
std::string stamp_path(const std::string& cache_path) { return cache_path + ".source"; }

bool stamp_matches(const std::string& cache_path, const nb::object& stamp) {
    if (stamp.is_none()) return true;
    std::ifstream in(stamp_path(cache_path), std::ios::binary);
    if (!in) return false;
    const std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return kept == nb::cast<std::string>(stamp);
}

// Written after the cache file: a crash in between leaves an old stamp, so the day is read again.
void write_stamp(const std::string& cache_path, const nb::object& stamp) {
    if (stamp.is_none()) return;
    const std::string path = stamp_path(cache_path), temp = temp_path_beside(path);
    try {
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out << nb::cast<std::string>(stamp);
            if (!out.flush()) throw std::runtime_error("無法寫入 Tick 來源記錄: " + temp);
        }
        std::filesystem::rename(temp, path);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        throw;
    }
}

std::string error_text(const nb::python_error& e) { return nb::cast<std::string>(nb::str(e.value())); }

// Where one day's ticks came from, for an error about one of its rows: the broker's own name for it
// (a file broker names the file, whose rows the day's rows are), else the broker's type and the day.
std::string source_name(const nb::object& api, const nb::object& contract, const std::string& code,
                        const std::string& date) {
    nb::object name_of = nb::getattr(api, "tick_source_name", nb::none());
    if (!name_of.is_none()) {
        nb::object name = name_of(contract, nb::str(date.c_str(), date.size()));
        if (!nb::isinstance<nb::str>(name))
            throw nb::type_error(("tick_source_name 必須回傳文字: " + nb::cast<std::string>(nb::repr(name))).c_str());
        if (nb::len(name) > 0) return nb::cast<std::string>(name);
    }
    return nb::cast<std::string>(api.type().attr("__name__")) + " " + code + " " + date;
}

// A day with a bad close fails here, before any of it is cached or replayed.
void refuse_bad_prices(const nb::object& tick_df, const std::function<std::string()>& source) {
    const auto bad = first_bad_price(tick_df);
    if (!bad) return;
    throw nb::value_error((source() + " 第 " + std::to_string(bad->row + 1) + " 筆: " + kTradePriceRule +
                           ", 實際為 " + price_text(bad->close))
                              .c_str());
}

}  // namespace

nb::object Ticker::generate_save_path(const nb::object& file_name, const nb::tuple& sub_folder) {
    if (!file_name.is_none() && !nb::isinstance<nb::str>(file_name))
        throw nb::type_error(("file_name 必須是文字或 None: " + nb::cast<std::string>(nb::repr(file_name))).c_str());
    nb::object join = os_path().attr("join");
    nb::object folder = basic_info().attr("data_dir");
    for (nb::handle part : sub_folder) folder = join(folder, part);
    utils_module().attr("make_dir")(folder);
    return file_name.is_none() ? nb::object(nb::str(folder)) : join(folder, file_name);
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

nb::object Ticker::fetch_kest_history_ticks(const nb::object& code, const nb::object& product_type,
                                            const nb::object& start_from, const nb::object& end_to) {
    if (!nb::bool_(api)) throw NotLoggedIn();
    const std::string code_text = as_text(code, "code");
    check_path_component(code_text);
    const bool loud = !console_quiet();
    const std::int64_t today = exchange_today();
    const std::int64_t first = day_of(start_from), last = day_of(end_to);
    nb::list frames;
    frames.append(empty_frame(tick_df_schema));
    if (first <= last) {
        nb::object contract = make_kest_contract_object(code, product_type);
        const nb::tuple folder = cache_folder(api);
        for (std::int64_t day = first; day <= last; ++day) {
            const std::string date = day_text(day);
            // Taken before the data is read: a change during the read leaves a stale stamp, not stale ticks.
            nb::object stamp = source_stamp(api, contract, date);
            nb::object ticks = api.attr("ticks")(nb::arg("contract") = contract, nb::arg("date") = date);
            const auto source = [&] { return source_name(api, contract, code_text, date); };
            nb::object tick_df = frame_from_ticks(ticks, tick_df_schema, source);
            refuse_bad_prices(tick_df, source);
            if (frame_height(tick_df) > 0) frames.append(tick_df);
            if (day < today && keeps_cache(api)) {
                const std::string name = tick_filename(code_text, date);
                // A cache that cannot be written costs the next run a download, not this run its ticks.
                std::string failure;
                try {
                    const std::string path = nb::cast<std::string>(
                        generate_save_path(nb::str(name.c_str(), name.size()), folder));
                    write_csv_atomically(tick_df, path);
                    write_stamp(path, stamp);
                    if (loud)
                        console_print("[green]下載 " + code_text + " " + date + " 的 Tick 資料成功, 儲存於 " + path +
                                      "[/green]");
                } catch (const nb::python_error& e) {
                    if (ends_the_run(e)) throw;
                    failure = error_text(e);
                } catch (const std::exception& e) {
                    failure = e.what();
                }
                if (!failure.empty() && loud)
                    console_print("[red]無法寫入 " + code_text + " " + date + " 的 Tick 快取, 錯誤訊息: " + failure +
                                  "[/red]");
            }
        }
    }
    if (frames.size() == 1) return frames[0];
    return polars().attr("concat")(frames, nb::arg("how") = "vertical");
}

nb::object Ticker::auto_fetch_ticks(const nb::object& code, const nb::object& product_type, const nb::object& date) {
    const std::string name = tick_filename_formatter(code, date);
    // Joined, not created: a read-only data folder must not fail a day that is only read or downloaded.
    nb::object folder = basic_info().attr("data_dir");
    nb::object join = os_path().attr("join");
    for (nb::handle part : cache_folder(api)) folder = join(folder, part);
    const std::string path = nb::cast<std::string>(join(folder, nb::str(name.c_str(), name.size())));
    const bool loud = !console_quiet();
    nb::object frame;
    if (!keeps_cache(api)) {
        frame = fetch_kest_history_ticks(code, product_type, date, date);
    } else {
        const auto status = std::filesystem::status(path);
        if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
            throw nb::value_error(("Tick 快取路徑不是檔案, 請移除後重試: " + path).c_str());
        const bool present = std::filesystem::exists(status);
        const bool current =
            present && (!nb::hasattr(api, "tick_source_stamp") ||
                        stamp_matches(path, source_stamp(api, make_kest_contract_object(code, product_type),
                                                         as_text(date, "date"))));
        if (current) {
            if (loud) console_print("[green]檔案 " + path + " 已存在, 開始讀取檔案...[/green]");
            frame = read_tick_csv(path, tick_df_schema);
        } else {
            if (loud)
                console_print(present ? "[red]檔案 " + path + " 的來源資料已變更, 重新讀取歷史 Tick 資料...[/red]"
                                      : "[red]檔案 " + path + " 不存在, 開始下載歷史 Tick 資料...[/red]");
            frame = fetch_kest_history_ticks(code, product_type, date, date);
        }
    }
    nb::module_ pl = polars();
    return frame.attr("with_columns")(
        pl.attr("lit")(code, nb::arg("dtype") = pl.attr("String")).attr("alias")("code"));
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

}  // namespace vkb::py
