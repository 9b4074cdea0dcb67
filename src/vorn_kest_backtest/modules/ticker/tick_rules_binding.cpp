// The core's rules the Python tick data path asks for: safe cache file names, the trade-price check.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <optional>
#include <span>

#include "vkb/tick_file_naming.hpp"
#include "vkb/trade_price.hpp"

namespace nb = nanobind;

void bind_tick_rules(nb::module_& m) {
    m.def("_check_path_component", &vkb::check_path_component, nb::arg("value"),
          "拒絕會離開快取資料夾的代碼或日期 (ValueError)");
    m.def("_tick_filename", &vkb::tick_filename, nb::arg("code"), nb::arg("date"), "Tick 快取檔名 (先檢查代碼與日期)");
    m.def("_tick_source_folder", &vkb::tick_source_folder, nb::arg("source_id"), "非預設券商的 Tick 快取資料夾名稱");
    m.def(
        "_first_bad_trade_price",
        [](nb::ndarray<const double, nb::ndim<1>, nb::device::cpu, nb::c_contig> close) -> std::optional<std::size_t> {
            return vkb::first_bad_trade_price(std::span<const double>(close.data(), close.shape(0)));
        },
        nb::arg("close"), "第一筆不是成交價 (0、負數、NaN 或無限大) 的列; 都是成交價時為 None");
}
