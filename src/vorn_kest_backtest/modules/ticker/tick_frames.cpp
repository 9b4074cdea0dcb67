#include <nanobind/stl/string.h>

#include "tick_frames.hpp"

#include <nanobind/ndarray.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/py_console.hpp"

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

nb::object frame_from_ticks(const nb::object& ticks, const nb::object& schema) {
    nb::dict columns;
    for (nb::handle name : schema.attr("keys")()) columns[name] = ticks[name];
    return polars().attr("DataFrame")(columns, nb::arg("schema") = schema, nb::arg("strict") = false);
}

nb::object read_tick_csv(const std::string& path, const nb::object& schema) {
    return polars().attr("read_csv")(nb::str(path.c_str(), path.size()), nb::arg("schema") = schema);
}

void write_csv_atomically(const nb::object& frame, const std::string& path) {
    static std::atomic<unsigned> counter{0};
    const std::string temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
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

std::shared_ptr<const TickBatch> batch_from_frame(const nb::object& frame, const nb::dict& code_market_map) {
    nb::module_ pl = polars();
    auto batch = std::make_shared<TickBatch>();
    batch->utc_offset_hours = nb::cast<int>(basic_info().attr("utc_offset_hours"));
    if (frame_height(frame) == 0) return batch;
    nb::object df = frame.attr("rechunk")();
    copy_column(df["ts"].attr("fill_null")(0), batch->ts_ns);
    copy_column(df["close"].attr("fill_null")(nb::float_(NAN)), batch->close);
    copy_column(df["volume"].attr("fill_null")(0), batch->volume);
    copy_column(df["tick_type"].attr("fill_null")(0), batch->tick_type);
    nb::list codes = nb::list(df["code"].attr("unique")(nb::arg("maintain_order") = true).attr("to_list")());
    nb::list positions;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        positions.append(i);
        std::string code = nb::cast<std::string>(codes[i]);
        nb::object market = code_market_map.contains(codes[i]) ? nb::object(code_market_map[codes[i]]) : nb::str("");
        batch->codes.push_back(code);
        batch->markets.push_back(nb::cast<std::string>(nb::str(market)));
    }
    copy_column(df["code"].attr("replace_strict")(codes, positions, nb::arg("return_dtype") = pl.attr("UInt32")),
                batch->code_index);
    return batch;
}

}  // namespace vkb::py
