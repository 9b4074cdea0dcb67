#include <nanobind/stl/string.h>

#include "tick_frames.hpp"

#include <nanobind/ndarray.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "common/py_console.hpp"
#include "vkb/trade_price.hpp"

namespace vkb::py {

namespace {

template <class T>
void copy_column(const nb::object& series, std::vector<T>& out) {
    auto array = nb::cast<nb::ndarray<const T, nb::ndim<1>, nb::device::cpu>>(series.attr("to_numpy")());
    const std::size_t n = array.shape(0);
    out.resize(n);
    const T* data = array.data();
    const std::int64_t stride = array.stride(0);
    if (stride == 1) {
        if (n) std::memcpy(out.data(), data, n * sizeof(T));
    } else {
        for (std::size_t i = 0; i < n; ++i) out[i] = data[static_cast<std::int64_t>(i) * stride];
    }
}

std::string repr_of(const nb::handle& value) { return nb::cast<std::string>(nb::repr(value)); }

// A NaN close is left to the trade-price check, which says what a price must be.
bool is_close_column(const nb::handle& name) { return nb::cast<std::string>(name) == "close"; }

// Row of the first null (or NaN, in a float column other than close) of `column`, if any.
std::optional<std::size_t> first_bad_row(const nb::object& column) {
    nb::object bad = column.attr("is_null")();
    if (nb::cast<bool>(column.attr("dtype").attr("is_float")()) && !is_close_column(column.attr("name")))
        bad = bad.attr("__or__")(column.attr("is_nan")().attr("fill_null")(false));
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

nb::object frame_from_ticks(const nb::object& ticks, const nb::object& schema,
                            const std::function<std::string()>& what) {
    nb::dict columns;
    for (nb::handle name : schema.attr("keys")()) columns[name] = ticks[name];
    // strict=False casts ints to floats; what it could not cast comes back null and is refused here.
    nb::object frame = polars().attr("DataFrame")(columns, nb::arg("schema") = schema, nb::arg("strict") = false);
    for (nb::handle name : schema.attr("keys")()) {
        const auto row = is_quote_column(name) ? first_unparsable_quote(frame[name], columns[name]) : first_bad_row(frame[name]);
        if (row) {
            nb::object value = nb::steal(PySequence_GetItem(columns[name].ptr(), static_cast<Py_ssize_t>(*row)));
            if (!value.is_valid()) throw nb::python_error();
            throw nb::value_error(("券商回傳的 Tick 資料無法使用: " + what() + " 欄位 " + nb::cast<std::string>(name) +
                                   " 第 " + std::to_string(*row + 1) + " 筆: " + repr_of(value))
                                      .c_str());
        }
    }
    return frame;
}

std::optional<BadPrice> first_bad_price(const nb::object& frame) {
    std::vector<double> close;
    copy_column(frame["close"].attr("fill_null")(std::nan("")), close);
    const auto row = first_bad_trade_price(close);
    if (!row) return std::nullopt;
    return BadPrice{*row, close[*row]};
}

std::string price_text(double close) { return repr_of(nb::float_(close)); }

nb::object read_tick_csv(const std::string& path, const nb::object& schema) {
    const std::uintmax_t size = std::filesystem::file_size(path);
    // Every file the cache writes ends its last line; anything else was cut off while written.
    if (size == 0 || !ends_with_newline(path, size))
        throw nb::value_error(("Tick 快取檔損毀 (最後一行不完整): " + path).c_str());
    nb::object frame;
    try {
        frame = polars().attr("read_csv")(nb::str(path.c_str(), path.size()), nb::arg("schema") = schema);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        throw nb::value_error(("Tick 快取檔無法讀取: " + path + ": " + nb::cast<std::string>(nb::str(e.value()))).c_str());
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

// A quote column as doubles with NaN where it is missing, absent, or not a price (<= 0).
static void copy_quote(const nb::object& df, const char* name, std::vector<double>& out) {
    const std::size_t n = frame_height(df);
    if (!nb::cast<bool>(df.attr("columns").attr("__contains__")(name))) {
        out.assign(n, std::nan(""));
        return;
    }
    nb::object column = df[name].attr("cast")(polars().attr("Float64"), nb::arg("strict") = false);
    copy_column(column.attr("fill_null")(std::nan("")), out);
    for (double& price : out)
        if (!(price > 0.0)) price = std::nan("");
}

// A quoted size column with 0 where it is missing, absent or not above 0.
static void copy_size(const nb::object& df, const char* name, std::vector<std::int64_t>& out) {
    const std::size_t n = frame_height(df);
    if (!nb::cast<bool>(df.attr("columns").attr("__contains__")(name))) {
        out.assign(n, 0);
        return;
    }
    nb::object column = df[name].attr("cast")(polars().attr("Int64"), nb::arg("strict") = false);
    copy_column(column.attr("fill_null")(0), out);
    for (std::int64_t& size : out)
        if (size < 0) size = 0;
}

std::shared_ptr<const TickBatch> batch_from_frame(const nb::object& frame, const nb::dict& code_market_map) {
    nb::module_ pl = polars();
    auto batch = std::make_shared<TickBatch>();
    batch->utc_offset_hours = nb::cast<int>(basic_info().attr("utc_offset_hours"));
    if (frame_height(frame) == 0) return batch;
    nb::object df = frame.attr("rechunk")();
    // A null would have to be made up (1970, qty 0); the frame is refused instead.
    for (const char* name : {"ts", "close", "volume", "tick_type", "code"}) {
        nb::object column = df[name];
        if (nb::cast<std::size_t>(column.attr("null_count")()) == 0) continue;
        const auto row = nb::cast<std::size_t>(column.attr("is_null")().attr("arg_max")());
        throw nb::value_error(("Tick 資料表欄位 " + std::string(name) + " 第 " + std::to_string(row + 1) +
                               " 筆為空值, 無法回放")
                                  .c_str());
    }
    copy_column(df["ts"], batch->ts_ns);
    copy_column(df["close"], batch->close);
    if (const auto row = first_bad_trade_price(batch->close))
        throw nb::value_error(("Tick 資料表第 " + std::to_string(*row + 1) + " 筆無法回放: " + kTradePriceRule +
                               ", 實際為 " + price_text(batch->close[*row]))
                                  .c_str());
    copy_column(df["volume"], batch->volume);
    copy_column(df["tick_type"], batch->tick_type);
    copy_quote(df, "bid_price", batch->bid_price);
    copy_quote(df, "ask_price", batch->ask_price);
    copy_size(df, "bid_volume", batch->bid_volume);
    copy_size(df, "ask_volume", batch->ask_volume);
    nb::list codes = nb::list(df["code"].attr("unique")(nb::arg("maintain_order") = true).attr("to_list")());
    nb::list positions;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        positions.append(i);
        if (!code_market_map.contains(codes[i]))
            throw nb::value_error(("代碼沒有市場類型 (code_market_map 未列出): " + repr_of(codes[i])).c_str());
        batch->codes.push_back(nb::cast<std::string>(codes[i]));
        batch->markets.push_back(nb::cast<std::string>(nb::str(code_market_map[codes[i]])));
    }
    copy_column(df["code"].attr("replace_strict")(codes, positions, nb::arg("return_dtype") = pl.attr("UInt32")),
                batch->code_index);
    return batch;
}

}  // namespace vkb::py
