#include <nanobind/stl/string.h>

#include "tick_frames.hpp"

#include <nanobind/ndarray.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <thread>

#include "common/py_console.hpp"
#include "vkb/trade_price.hpp"

namespace vkb::py {

namespace {

// The chunks of a column without nulls as numpy views, kept alive by `owners` (destroy with the GIL held).
template <class T>
struct ColumnViews {
    struct Part {
        const T* data;
        std::int64_t stride;
        std::size_t size;
    };
    std::vector<nb::object> owners;
    std::vector<Part> parts;
    std::size_t total = 0;
};

template <class T>
ColumnViews<T> views_of(const nb::object& series) {
    ColumnViews<T> views;
    for (nb::handle chunk : series.attr("get_chunks")()) {
        nb::object array = chunk.attr("to_numpy")();
        const auto view = nb::cast<nb::ndarray<const T, nb::ndim<1>, nb::device::cpu>>(array);
        views.parts.push_back({view.data(), view.stride(0), view.shape(0)});
        views.total += view.shape(0);
        views.owners.push_back(std::move(array));
    }
    return views;
}

// The values into `out`, copied once (reserved, not zeroed first); touches no Python object.
template <class T>
void copy_views(const ColumnViews<T>& views, std::vector<T>& out) {
    out.clear();
    out.reserve(views.total);
    for (const auto& part : views.parts) {
        if (part.stride == 1) {
            out.insert(out.end(), part.data, part.data + part.size);
        } else {
            for (std::size_t i = 0; i < part.size; ++i) out.push_back(part.data[static_cast<std::int64_t>(i) * part.stride]);
        }
    }
}

template <class T>
void copy_column(const nb::object& series, std::vector<T>& out) {
    copy_views(views_of<T>(series), out);
}

std::string repr_of(const nb::handle& value) { return nb::cast<std::string>(nb::repr(value)); }

// A NaN close is left to the trade-price check, which says what a price must be.
bool is_close_column(const nb::handle& name) { return nb::cast<std::string>(name) == "close"; }

// Row of the first null (or NaN, in a float column other than close) of `column`, if any.
std::optional<std::size_t> first_bad_row(const nb::object& column) {
    const bool nan_is_bad =
        nb::cast<bool>(column.attr("dtype").attr("is_float")()) && !is_close_column(column.attr("name"));
    if (!nan_is_bad && nb::cast<std::size_t>(column.attr("null_count")()) == 0) return std::nullopt;
    nb::object bad = column.attr("is_null")();
    if (nan_is_bad) bad = bad.attr("__or__")(column.attr("is_nan")().attr("fill_null")(false));
    if (!nb::cast<bool>(bad.attr("any")())) return std::nullopt;
    return nb::cast<std::size_t>(bad.attr("arg_max")());
}

// Brokers without a quote (exchange trade files) leave bid/ask empty; that is a missing value, not a bad one.
bool is_quote_column(const nb::handle& name) {
    const std::string text = nb::cast<std::string>(name);
    return text == "bid_price" || text == "bid_volume" || text == "ask_price" || text == "ask_volume";
}

// Row of the first quote value that was given but could not be cast (a missing one is None).
std::optional<std::size_t> first_unparsable_quote(const nb::object& column, const nb::object& given) {
    for (nb::handle row : column.attr("is_null")().attr("arg_true")()) {
        const auto index = nb::cast<std::size_t>(row);
        nb::object value = nb::steal(PySequence_GetItem(given.ptr(), static_cast<Py_ssize_t>(index)));
        if (!value.is_valid()) throw nb::python_error();
        if (!value.is_none()) return index;
    }
    return std::nullopt;
}

// The same for a frame's column: a value that was there but did not cast.
std::optional<std::size_t> first_unparsable_in_series(const nb::object& column, const nb::object& given) {
    nb::object lost = column.attr("is_null")().attr("__and__")(given.attr("is_not_null")());
    if (!nb::cast<bool>(lost.attr("any")())) return std::nullopt;
    return nb::cast<std::size_t>(lost.attr("arg_max")());
}

bool ends_with_newline(const std::string& path, std::uintmax_t size) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(size) - 1);
    return in.get() == '\n';
}

}  // namespace

nb::module_ polars() { return nb::module_::import_("polars"); }

nb::object make_tick_schema() {
    nb::module_ pl = polars();
    nb::object i64 = pl.attr("Int64"), f64 = pl.attr("Float64");
    nb::dict columns;
    columns["ts"] = i64;
    columns["close"] = f64;
    columns["volume"] = i64;
    columns["bid_price"] = f64;
    columns["bid_volume"] = i64;
    columns["ask_price"] = f64;
    columns["ask_volume"] = i64;
    columns["tick_type"] = i64;
    return pl.attr("Schema")(columns);
}

nb::object empty_frame(const nb::object& schema) { return polars().attr("DataFrame")(nb::arg("schema") = schema); }

nb::object empty_coded_frame(const nb::object& schema) {
    nb::dict columns;
    for (nb::handle name : schema.attr("keys")()) columns[name] = schema[name];
    columns["code"] = polars().attr("String");
    return polars().attr("DataFrame")(nb::arg("schema") = columns);
}

std::string TickSource::row_text(std::size_t index) const {
    if (rows.is_none()) return std::to_string(index + 1);
    return nb::cast<std::string>(nb::str(rows.attr("__getitem__")(index)));
}

nb::object source_rows_of(const nb::object& ticks) {
    if (!nb::isinstance(ticks, polars().attr("DataFrame"))) return nb::none();
    if (!nb::cast<bool>(ticks.attr("columns").attr("__contains__")(kSourceRowColumn))) return nb::none();
    return ticks[kSourceRowColumn];
}

nb::object frame_from_ticks(const nb::object& ticks, const nb::object& schema, const TickSource& source) {
    const bool given_frame = nb::isinstance(ticks, polars().attr("DataFrame"));
    nb::dict columns;
    bool typed = given_frame;
    for (nb::handle name : schema.attr("keys")()) {
        columns[name] = ticks[name];
        typed = typed && columns[name].attr("dtype").equal(schema[name]);
    }
    // strict=False casts ints to floats; what it could not cast comes back null and is refused here.
    nb::object frame = typed ? ticks.attr("select")(schema.attr("names")())
                             : polars().attr("DataFrame")(columns, nb::arg("schema") = schema, nb::arg("strict") = false);
    for (nb::handle name : schema.attr("keys")()) {
        std::optional<std::size_t> row;
        if (!is_quote_column(name))
            row = first_bad_row(frame[name]);
        else if (typed)
            continue;
        else if (given_frame)
            row = first_unparsable_in_series(frame[name], columns[name]);
        else
            row = first_unparsable_quote(frame[name], columns[name]);
        if (row) {
            nb::object value = nb::steal(PySequence_GetItem(columns[name].ptr(), static_cast<Py_ssize_t>(*row)));
            if (!value.is_valid()) throw nb::python_error();
            throw nb::value_error(("券商回傳的 Tick 資料無法使用: " + source.what() + " 欄位 " +
                                   nb::cast<std::string>(name) + " 第 " + source.row_text(*row) + " 筆: " +
                                   repr_of(value))
                                      .c_str());
        }
    }
    return frame;
}

std::optional<BadPrice> first_bad_price(const nb::object& frame) {
    std::vector<double> close;
    nb::object column = frame["close"];
    if (nb::cast<std::size_t>(column.attr("null_count")()) > 0) column = column.attr("fill_null")(std::nan(""));
    copy_column(column, close);
    const auto row = first_bad_trade_price(close);
    if (!row) return std::nullopt;
    return BadPrice{*row, close[*row]};
}

std::string price_text(double close) { return repr_of(nb::float_(close)); }

bool is_whole_cache_file(const std::string& path) {
    const std::uintmax_t size = std::filesystem::file_size(path);
    // Every file the cache writes ends its last line; anything else was cut off while written.
    return size > 0 && ends_with_newline(path, size);
}

nb::object read_tick_csv(const std::string& path, const nb::object& schema, nb::object frame) {
    if (!is_whole_cache_file(path))
        throw nb::value_error(("Tick 快取檔損毀 (最後一行不完整): " + path).c_str());
    if (!frame.is_valid()) {
        try {
            frame = polars().attr("read_csv")(nb::str(path.c_str(), path.size()), nb::arg("schema") = schema);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            throw nb::value_error(
                ("Tick 快取檔無法讀取: " + path + ": " + nb::cast<std::string>(nb::str(e.value()))).c_str());
        }
    }
    for (nb::handle name : schema.attr("keys")()) {
        if (is_quote_column(name)) continue;
        if (auto row = first_bad_row(frame[name]))
            throw nb::value_error(("Tick 快取檔損毀: " + path + " 第 " + std::to_string(*row + 2) + " 行, 欄位 " +
                                   nb::cast<std::string>(name) + " 空白或無法解析")
                                      .c_str());
    }
    if (const auto bad = first_bad_price(frame))
        throw nb::value_error(("Tick 快取檔 " + path + " 第 " + std::to_string(bad->row + 2) + " 行: " +
                               kTradePriceRule + ", 實際為 " + price_text(bad->close) +
                               " (舊版留下的快取, 請刪除此檔後重新下載)")
                                  .c_str());
    return frame;
}

std::string temp_path_beside(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    std::string name(host);
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
    return path + ".tmp-" + name + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

void write_csv_atomically(const nb::object& frame, const std::string& path) {
    const std::string temp = temp_path_beside(path);
    try {
        frame.attr("write_csv")(nb::str(temp.c_str(), temp.size()));
        std::filesystem::rename(temp, path);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        throw;
    }
}

std::size_t frame_height(const nb::object& frame) { return nb::cast<std::size_t>(frame.attr("height")); }

// A quote column as doubles with NaN where it is missing or not a price; none when the frame has none.
static std::optional<ColumnViews<double>> quote_views(const nb::object& df, const char* name) {
    if (!nb::cast<bool>(df.attr("columns").attr("__contains__")(name))) return std::nullopt;
    nb::object column = df[name];
    if (!column.attr("dtype").equal(polars().attr("Float64")))
        column = column.attr("cast")(polars().attr("Float64"), nb::arg("strict") = false);
    if (nb::cast<std::size_t>(column.attr("null_count")()) > 0) column = column.attr("fill_null")(std::nan(""));
    return views_of<double>(column);
}

static void copy_quote(const std::optional<ColumnViews<double>>& views, std::size_t rows, std::vector<double>& out) {
    if (!views) {
        out.assign(rows, std::nan(""));
        return;
    }
    copy_views(*views, out);
    for (double& price : out)
        if (!(price > 0.0)) price = std::nan("");
}

// From this many rows on, the columns are copied on two threads: a dense replay's columns are tens of
// megabytes of fresh memory, and a second core halves the wait for them.
constexpr std::size_t kParallelCopyRows = 200'000;

// A quoted size column as integers with 0 where it is missing; none when the frame has none.
static std::optional<ColumnViews<std::int64_t>> size_views(const nb::object& df, const char* name) {
    if (!nb::cast<bool>(df.attr("columns").attr("__contains__")(name))) return std::nullopt;
    nb::object column = df[name];
    if (!column.attr("dtype").equal(polars().attr("Int64")))
        column = column.attr("cast")(polars().attr("Int64"), nb::arg("strict") = false);
    if (nb::cast<std::size_t>(column.attr("null_count")()) > 0) column = column.attr("fill_null")(0);
    return views_of<std::int64_t>(column);
}

static void copy_size(const std::optional<ColumnViews<std::int64_t>>& views, std::size_t rows,
                      std::vector<std::int64_t>& out) {
    if (!views) {
        out.assign(rows, 0);
        return;
    }
    copy_views(*views, out);
    for (std::int64_t& size : out)
        if (size < 0) size = 0;
}

std::shared_ptr<const TickBatch> batch_from_frame(const nb::object& frame, const nb::dict& code_market_map) {
    nb::module_ pl = polars();
    auto batch = std::make_shared<TickBatch>();
    batch->utc_offset_hours = nb::cast<int>(basic_info().attr("utc_offset_hours"));
    const std::size_t rows = frame_height(frame);
    if (rows == 0) return batch;
    // Not rechunked: each column is copied chunk by chunk, and the unused ones are never touched.
    const nb::object& df = frame;
    // A null would have to be made up (1970, qty 0); the frame is refused instead.
    for (const char* name : {"ts", "close", "volume", "tick_type", "code"}) {
        nb::object column = df[name];
        if (nb::cast<std::size_t>(column.attr("null_count")()) == 0) continue;
        const auto row = nb::cast<std::size_t>(column.attr("is_null")().attr("arg_max")());
        throw nb::value_error(("Tick 資料表欄位 " + std::string(name) + " 第 " + std::to_string(row + 1) +
                               " 筆為空值, 無法回放")
                                  .c_str());
    }
    nb::object code = df["code"];
    nb::object first = code.attr("__getitem__")(0);
    // One code (a replay of one instrument) needs no lookup per tick.
    const bool one_code = nb::cast<bool>(code.attr("__eq__")(first).attr("all")());
    nb::list codes = one_code ? nb::list()
                              : nb::list(code.attr("unique")(nb::arg("maintain_order") = true).attr("to_list")());
    if (one_code) codes.append(first);
    nb::list positions;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        positions.append(i);
        if (!code_market_map.contains(codes[i]))
            throw nb::value_error(("代碼沒有市場類型 (code_market_map 未列出): " + repr_of(codes[i])).c_str());
        batch->codes.push_back(nb::cast<std::string>(codes[i]));
        batch->markets.push_back(nb::cast<std::string>(nb::str(code_market_map[codes[i]])));
    }
    {
        const auto ts = views_of<std::int64_t>(df["ts"]);
        const auto close = views_of<double>(df["close"]);
        const auto volume = views_of<std::int64_t>(df["volume"]);
        const auto tick_type = views_of<std::int64_t>(df["tick_type"]);
        const auto bid = quote_views(df, "bid_price"), ask = quote_views(df, "ask_price");
        const auto bid_size = size_views(df, "bid_volume"), ask_size = size_views(df, "ask_volume");
        std::optional<ColumnViews<std::uint32_t>> code_index;
        if (!one_code)
            code_index = views_of<std::uint32_t>(
                code.attr("replace_strict")(codes, positions, nb::arg("return_dtype") = pl.attr("UInt32")));
        // The views stay alive past this block, which touches no Python object.
        nb::gil_scoped_release unlocked;
        const auto copy_second_half = [&] {
            copy_views(tick_type, batch->tick_type);
            copy_quote(bid, rows, batch->bid_price);
            copy_quote(ask, rows, batch->ask_price);
            copy_size(bid_size, rows, batch->bid_volume);
            copy_size(ask_size, rows, batch->ask_volume);
            if (code_index)
                copy_views(*code_index, batch->code_index);
            else
                batch->code_index.assign(rows, 0);
        };
        std::exception_ptr failed;
        std::thread second;
        if (rows >= kParallelCopyRows)
            second = std::thread([&] {
                try {
                    copy_second_half();
                } catch (...) {
                    failed = std::current_exception();
                }
            });
        std::exception_ptr failed_here;
        try {
            copy_views(ts, batch->ts_ns);
            copy_views(close, batch->close);
            copy_views(volume, batch->volume);
        } catch (...) {
            failed_here = std::current_exception();
        }
        if (second.joinable())
            second.join();
        else if (!failed_here)
            copy_second_half();
        if (failed_here) std::rethrow_exception(failed_here);
        if (failed) std::rethrow_exception(failed);
    }
    if (const auto row = first_bad_trade_price(batch->close))
        throw nb::value_error(("Tick 資料表第 " + std::to_string(*row + 1) + " 筆無法回放: " + kTradePriceRule +
                               ", 實際為 " + price_text(batch->close[*row]))
                                  .c_str());
    return batch;
}

}  // namespace vkb::py
