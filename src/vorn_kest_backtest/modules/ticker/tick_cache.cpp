// Tick files: save paths, cache names, contracts, download and the per-day cache.
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <nanobind/stl/string.h>

#include "common/py_console.hpp"
#include "tick_cache_writer.hpp"
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

bool stamp_matches(const std::string& cache_path, const nb::object& stamp) {
    if (stamp.is_none()) return true;
    std::ifstream in(stamp_path(cache_path), std::ios::binary);
    if (!in) return false;
    const std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return kept == nb::cast<std::string>(stamp);
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
void refuse_bad_prices(const nb::object& tick_df, const TickSource& source) {
    const auto bad = first_bad_price(tick_df);
    if (!bad) return;
    throw nb::value_error((source.what() + " 第 " + source.row_text(bad->row) + " 筆: " + kTradePriceRule +
                           ", 實際為 " + price_text(bad->close))
                              .c_str());
}

// The broker's answer for one calendar day: its frame when it serves frames (`tick_frame`), else the
// SDK's ticks query. `since_ns`: only the ticks from that wall-clock time on are wanted.
nb::object day_answer(const nb::object& api, const nb::object& contract, const std::string& date,
                      std::optional<std::int64_t> since_ns) {
    nb::str day(date.c_str(), date.size());
    nb::object tick_frame = nb::getattr(api, "tick_frame", nb::none());
    if (tick_frame.is_none()) return api.attr("ticks")(nb::arg("contract") = contract, nb::arg("date") = day);
    if (since_ns)
        return tick_frame(nb::arg("contract") = contract, nb::arg("date") = day, nb::arg("since_ns") = *since_ns);
    return tick_frame(nb::arg("contract") = contract, nb::arg("date") = day);
}

}  // namespace

bool Ticker::simulated_source() const {
    return nb::cast<bool>(nb::bool_(nb::getattr(api, "simulated", nb::bool_(false))));
}

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
    const bool simulated = simulated_source();
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
            nb::object answer = day_answer(api, contract, date, std::nullopt);
            const TickSource source{[&] { return source_name(api, contract, code_text, date); },
                                    source_rows_of(answer)};
            nb::object tick_df = frame_from_ticks(answer, tick_df_schema, source);
            refuse_bad_prices(tick_df, source);
            if (frame_height(tick_df) > 0) frames.append(tick_df);
            if (day < today && keeps_cache(api)) {
                const std::string name = tick_filename(code_text, date);
                // A cache that cannot be written costs the next run a download, not this run its ticks.
                std::string failure;
                try {
                    const std::string path = nb::cast<std::string>(
                        generate_save_path(nb::str(name.c_str(), name.size()), folder));
                    if (DeferredCacheWrites::active())
                        tick_cache_writer().submit({tick_df, stamp, path, code_text, date});
                    else
                        write_cache_day(tick_df, path, stamp);
                    if (loud)
                        console_print(simulated ? "[green]產生模擬 Tick 資料 " + code_text + " " + date +
                                                      " 成功, 儲存於 " + path + "[/green]"
                                                : "[green]下載 " + code_text + " " + date +
                                                      " 的 Tick 資料成功, 儲存於 " + path + "[/green]");
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

nb::object Ticker::lead_in_ticks(const nb::object& code, const nb::object& product_type, const std::string& date,
                                 std::int64_t since_ns) {
    if (!nb::bool_(api)) throw NotLoggedIn();
    const std::string code_text = as_text(code, "code");
    nb::object contract = make_kest_contract_object(code, product_type);
    nb::object answer = day_answer(api, contract, date, since_ns);
    const TickSource source{[&] { return source_name(api, contract, code_text, date); }, source_rows_of(answer)};
    nb::object tick_df = frame_from_ticks(answer, tick_df_schema, source);
    refuse_bad_prices(tick_df, source);
    nb::module_ pl = polars();
    return tick_df.attr("with_columns")(
        pl.attr("lit")(code, nb::arg("dtype") = pl.attr("String")).attr("alias")("code"));
}

std::string Ticker::cache_file_path(const nb::object& code, const nb::object& date) {
    const std::string name = tick_filename_formatter(code, date);
    // Joined, not created: a read-only data folder must not fail a day that is only read or downloaded.
    nb::object folder = basic_info().attr("data_dir");
    nb::object join = os_path().attr("join");
    for (nb::handle part : cache_folder(api)) folder = join(folder, part);
    return nb::cast<std::string>(join(folder, nb::str(name.c_str(), name.size())));
}

PreloadedDays*& preloaded_days() {
    thread_local PreloadedDays* days = nullptr;
    return days;
}

void Ticker::preload_cached_days(const nb::object& code, const nb::object& product_type,
                                 const std::vector<std::string>& dates, PreloadedDays& out) {
    // A source that keeps no cache has no files to read ahead.
    if (!keeps_cache(api)) return;
    nb::module_ pl = polars();
    std::vector<std::string> paths;
    nb::list scans;
    try {
        const bool stamped = nb::hasattr(api, "tick_source_stamp");
        nb::object contract;
        for (const std::string& date : dates) {
            nb::str day(date.c_str(), date.size());
            const std::string path = cache_file_path(code, day);
            std::error_code missing;
            if (!std::filesystem::is_regular_file(path, missing) || !is_whole_cache_file(path)) continue;
            if (stamped) {
                if (!contract.is_valid()) contract = make_kest_contract_object(code, product_type);
                if (!stamp_matches(path, source_stamp(api, contract, date))) continue;
            }
            scans.append(pl.attr("scan_csv")(nb::str(path.c_str(), path.size()), nb::arg("schema") = tick_df_schema));
            paths.push_back(path);
        }
        if (paths.size() < 2) return;
        nb::object frames = pl.attr("collect_all")(scans);
        for (std::size_t i = 0; i < paths.size(); ++i) out[paths[i]] = frames[nb::int_(i)];
    } catch (const nb::python_error& e) {
        // Reading ahead only saves time: each day is then read alone, and a bad file names itself there.
        if (ends_the_run(e)) throw;
    } catch (const std::exception&) {
    }
}

void Ticker::announce_days(const nb::object& code, const nb::object& product_type,
                           const std::vector<std::string>& dates) {
    nb::object prepare = nb::getattr(api, "prepare_days", nb::none());
    if (prepare.is_none()) return;
    nb::list uncached;
    for (const std::string& date : dates) {
        nb::str day(date.c_str(), date.size());
        if (!std::filesystem::exists(cache_file_path(code, day))) uncached.append(day);
    }
    if (uncached.size() == 0) return;
    try {
        prepare(nb::arg("contract") = make_kest_contract_object(code, product_type), nb::arg("dates") = uncached);
    } catch (const nb::python_error& e) {
        // A hint only: the days are still asked one by one, and any error is reported there.
        if (ends_the_run(e)) throw;
    }
}

nb::object Ticker::auto_fetch_ticks(const nb::object& code, const nb::object& product_type, const nb::object& date) {
    const std::string path = cache_file_path(code, date);
    const bool loud = !console_quiet();
    nb::object frame;
    if (!keeps_cache(api)) {
        frame = fetch_kest_history_ticks(code, product_type, date, date);
    } else {
        // A day an earlier run read is written behind it: its file is complete once that write is done.
        tick_cache_writer().wait_for(path);
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
            nb::object ready;
            if (PreloadedDays* days = preloaded_days()) {
                if (auto found = days->find(path); found != days->end()) {
                    ready = std::move(found->second);
                    days->erase(found);
                }
            }
            frame = read_tick_csv(path, tick_df_schema, ready);
        } else {
            if (loud)
                console_print(present         ? "[red]檔案 " + path + " 的來源資料已變更, 重新讀取歷史 Tick 資料...[/red]"
                              : simulated_source() ? "[red]檔案 " + path + " 不存在, 開始產生模擬 Tick 資料...[/red]"
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
