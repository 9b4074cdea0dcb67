#pragma once
// polars at the edge: the tick schema, frames from the SDK and the cache, frames to batches.
#include <nanobind/nanobind.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "vkb/tick_batch.hpp"

namespace vkb::py {

namespace nb = nanobind;

nb::module_ polars();
// ts, close, volume, bid_price, bid_volume, ask_price, ask_volume, tick_type as a pl.Schema.
nb::object make_tick_schema();
nb::object empty_frame(const nb::object& schema);
// The schema plus `code` String.
nb::object empty_coded_frame(const nb::object& schema);
// A column a broker's frame may add beside the eight: each tick's row number in the source it names.
inline constexpr const char* kSourceRowColumn = "source_row";
// Where the ticks of one day came from, for naming a bad row: the source (`what()`) and, when the
// broker's frame says so (its `source_row` column), each tick's row number there; else tick n is row n.
struct TickSource {
    std::function<std::string()> what;
    nb::object rows = nb::none();
    std::string row_text(std::size_t index) const;
};
// The `source_row` column of a broker's frame, none for other answers.
nb::object source_rows_of(const nb::object& ticks);
// The broker's answer as a frame of the schema: a polars frame (cast column by column, no Python
// values on the way) or the SDK's ticks object (anything with keys() and __getitem__). A value that
// does not fit its column raises ValueError naming the source, the column, the row and the value.
nb::object frame_from_ticks(const nb::object& ticks, const nb::object& schema, const TickSource& source);
// A row whose close is no trade price (0, negative, NaN or infinite), with that close.
struct BadPrice {
    std::size_t row = 0;
    double close = 0.0;
};
std::optional<BadPrice> first_bad_price(const nb::object& frame);
// How the refusals of a bad close say what it should have been and what it was.
inline constexpr const char* kTradePriceRule = "成交價必須是大於 0 的有限數值";
std::string price_text(double close);
// Whether a cache file is whole: not empty, its last line ended.
bool is_whole_cache_file(const std::string& path);
// A cache file read back (or checked, when `frame` holds it already read); an empty, truncated or
// blank-field file, or one with a bad close (left by an older version), raises ValueError naming the
// file and line.
nb::object read_tick_csv(const std::string& path, const nb::object& schema, nb::object frame = nb::object());
// A temporary name beside `path`, unique to this host, process and call: workers on several machines
// sharing one cache folder never write into the same temporary file.
std::string temp_path_beside(const std::string& path);
// Temporary file in the same folder, then rename: a crash never leaves a truncated day behind, and of
// two workers filling the same day the later rename wins with a whole file.
void write_csv_atomically(const nb::object& frame, const std::string& path);
std::size_t frame_height(const nb::object& frame);
// The replayed columns of a combined frame; markets come from code_market_map. A null or a bad
// close is refused (ValueError), never replayed.
std::shared_ptr<const TickBatch> batch_from_frame(const nb::object& frame, const nb::dict& code_market_map);

}  // namespace vkb::py
