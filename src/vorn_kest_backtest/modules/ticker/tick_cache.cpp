// Tick files: save paths, cache names, contracts, download and the per-day cache.
#include <filesystem>
#include <string>
#include <vector>

#include <nanobind/stl/string.h>

#include "common/py_console.hpp"
#include "tick_frames.hpp"
#include "ticker_impl.hpp"
#include "vkb/civil_time.hpp"
#include "vkb/tick_file_naming.hpp"

namespace vkb::py {

namespace {

const char* const kNotLoggedIn = "Kestor API 尚未初始化, 請先登入Kestor API";

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
    if (!nb::bool_(api)) throw nb::value_error(kNotLoggedIn);
    check_path_component(as_text(code, "code"));
    const std::int64_t today = exchange_today();
    const std::int64_t first = day_of(start_from), last = day_of(end_to);
    nb::list frames;
    frames.append(empty_frame(tick_df_schema));
    if (first <= last) {
        nb::object contract = make_kest_contract_object(code, product_type);
        for (std::int64_t day = first; day <= last; ++day) {
            const std::string date = day_text(day);
            nb::object ticks = api.attr("ticks")(nb::arg("contract") = contract, nb::arg("date") = date);
            nb::object tick_df = frame_from_ticks(ticks, tick_df_schema);
            if (frame_height(tick_df) > 0) frames.append(tick_df);
            if (day < today) {
                nb::str date_str(date.c_str(), date.size());
                const std::string name = tick_filename_formatter(code, date_str);
                const std::string path =
                    nb::cast<std::string>(generate_save_path(nb::str(name.c_str(), name.size()),
                                                             nb::make_tuple("kest", "ticks")));
                write_csv_atomically(tick_df, path);
                console_print("[green]下載 " + nb::cast<std::string>(code) + " " + date +
                              " 的 Tick 資料成功, 儲存於 " + path + "[/green]");
            }
        }
    }
    if (frames.size() == 1) return frames[0];
    return polars().attr("concat")(frames, nb::arg("how") = "vertical");
}

nb::object Ticker::auto_fetch_ticks(const nb::object& code, const nb::object& product_type, const nb::object& date) {
    const std::string name = tick_filename_formatter(code, date);
    const std::string path =
        nb::cast<std::string>(generate_save_path(nb::str(name.c_str(), name.size()), nb::make_tuple("kest", "ticks")));
    nb::object frame;
    if (std::filesystem::exists(path)) {
        console_print("[green]檔案 " + path + " 已存在, 開始讀取檔案...[/green]");
        frame = read_tick_csv(path, tick_df_schema);
    } else {
        console_print("[red]檔案 " + path + " 不存在, 開始下載歷史 Tick 資料...[/red]");
        frame = fetch_kest_history_ticks(code, product_type, date, date);
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
