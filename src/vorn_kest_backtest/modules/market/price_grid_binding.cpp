// The exchange price grid for Python: one contract's grid, applied to whole price arrays at once.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "market_values.hpp"
#include "common/rule_text.hpp"
#include "positions/numpy_columns.hpp"
#include "vkb/contract_grid.hpp"
#include "vkb/contract_terms.hpp"
#include "vkb/daily_band.hpp"
#include "vkb/price_grid.hpp"

namespace nb = nanobind;

namespace {

using vkb::ContractGrid;
using Prices = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;

double checked(double price) {
    if (!(std::fabs(price) <= vkb::kMaxAbsPrice)) vkb::py::raise_value(PyExc_ValueError, "價格必須是有限數值", nb::float_(price));
    return price;
}

double price_of(std::int64_t cents) { return vkb::cents_to_price(cents); }

template <class T, class F>
nb::object map_prices(const Prices& prices, F&& f) {
    const auto view = prices.view();
    const std::size_t n = prices.shape(0);
    auto out = vkb::py::owned_column<T>(n);
    for (std::size_t i = 0; i < n; ++i) out.data[i] = f(view(i));
    return out.array;
}

ContractGrid grid_for(const std::string& code, nb::handle market) {
    return ContractGrid::for_code(code, vkb::py::market_of(market));
}

std::string grid_repr(const ContractGrid& grid) {
    if (grid.fixed_tick_cents()) return nb::cast<std::string>(nb::str("PriceGrid(futures tick={})").format(price_of(grid.fixed_tick_cents())));
    return grid.is_fund() ? "PriceGrid(fund bands)" : "PriceGrid(stock bands)";
}

// Written from the band's own percentage, so the help cannot drift from the rule.
const std::string& daily_band_doc() {
    static const std::string doc = "參考價的漲跌停價 (跌停, 漲停): 參考價上下 " +
                                   std::to_string(vkb::kDailyLimitPercent) +
                                   "%, 各自向內取整到價格跳動格上.";
    return doc;
}

}  // namespace

void bind_price_grid(nb::module_& m) {
    nb::class_<ContractGrid>(m, "PriceGrid", "一個商品的價格跳動格: 股票與 ETF 依價格區間, 期貨依商品族固定跳動點.")
        .def_prop_ro("is_fund", &ContractGrid::is_fund)
        .def_prop_ro("fixed_tick",
                     [](const ContractGrid& g) -> nb::object {
                         if (!g.fixed_tick_cents()) return nb::none();
                         return nb::float_(price_of(g.fixed_tick_cents()));
                     },
                     nb::sig("def fixed_tick(self) -> float | None"))
        .def("__repr__", &grid_repr);

    m.attr("DEFAULT_FUTURES_TICK") = vkb::kDefaultFuturesTick;
    m.def("futures_contracts", [] {
              nb::list rows;
              for (const vkb::ContractTerms& s : vkb::futures_contracts())
                  rows.append(nb::make_tuple(s.family, s.point_value, s.tick_size, s.name));
              return rows;
          }, nb::sig("def futures_contracts() -> list[tuple[str, int, float, str]]"),
          "核心的期貨契約規格表: 每列 (商品族, 每點價值, 跳動點, 名稱).");
    m.def("futures_family_of", [](const std::string& code) { return std::string(vkb::futures_family_of(code)); },
          nb::arg("code"), "期貨代碼所屬的商品族 (前三碼, 例如 \"TXFR1\" -> \"TXF\").");
    m.def("price_grid_for", &grid_for, nb::arg("code"), nb::arg("market"),
          nb::sig("def price_grid_for(code: str, market: str) -> PriceGrid"),
          "商品的價格跳動格; 期貨的跳動點取自核心的契約規格表 (constant.FUTURES_FAMILIES 即其內容; 不在表中時為 DEFAULT_FUTURES_TICK).");
    m.def("daily_band", [](double reference, const ContractGrid& g) { return vkb::daily_band(g, checked(reference)); },
          nb::arg("reference"), nb::arg("grid"),
          nb::sig("def daily_band(reference: float, grid: PriceGrid) -> tuple[float, float]"),
          daily_band_doc().c_str());

    m.def("tick_size", [](const Prices& p, const ContractGrid& g) {
              return map_prices<double>(p, [&](double x) { return price_of(g.tick_cents_at(x)); });
          }, nb::arg("prices"), nb::arg("grid"), "每個價格所在區間的跳動點 (位於區間邊界的價格屬於上一區間).");
    m.def("tick_size", [](double x, const ContractGrid& g) { return price_of(g.tick_cents_at(x)); },
          nb::arg("price"), nb::arg("grid"));
    m.def("tick_below", [](const Prices& p, const ContractGrid& g) {
              return map_prices<double>(p, [&](double x) { return price_of(g.tick_cents_below(x)); });
          }, nb::arg("prices"), nb::arg("grid"), "到下一個較低格價的距離 (區間邊界上為下方區間的跳動點).");
    m.def("tick_below", [](double x, const ContractGrid& g) { return price_of(g.tick_cents_below(x)); },
          nb::arg("price"), nb::arg("grid"));
    m.def("snap", [](const Prices& p, const ContractGrid& g) {
              return map_prices<double>(p, [&](double x) { return price_of(g.nearest_cents(checked(x))); });
          }, nb::arg("prices"), nb::arg("grid"), "最接近的格價, 以分為單位取整 (印出時與交易所寫法相同).");
    m.def("snap", [](double x, const ContractGrid& g) { return price_of(g.nearest_cents(checked(x))); },
          nb::arg("price"), nb::arg("grid"));
    m.def("on_grid", [](const Prices& p, const ContractGrid& g) {
              return map_prices<bool>(p, [&](double x) { return g.on_grid(x); });
          }, nb::arg("prices"), nb::arg("grid"), "價格是否位於格上.");
    m.def("on_grid", [](double x, const ContractGrid& g) { return g.on_grid(x); }, nb::arg("price"), nb::arg("grid"));
    m.def("grid_neighbours", [](double x, const ContractGrid& g) {
              const auto [below, above] = g.neighbours_cents(checked(x));
              return std::make_pair(price_of(below), price_of(above));
          }, nb::arg("price"), nb::arg("grid"),
          nb::sig("def grid_neighbours(price: float, grid: PriceGrid) -> tuple[float, float]"),
          "價格兩側最近的格價: (不高於它的最高格價, 高於它的最低格價).");

    m.def("ceil_to_grid", [](const std::string& code, double price) {
              const vkb::GridSnap s = vkb::ceil_to_grid(code, checked(price));
              return std::make_pair(price_of(s.cents), price_of(s.tick_cents));
          }, nb::arg("code"), nb::arg("price"),
          "依照股票的價格區間, 將價格向上取整; 回傳 (取整後價格, 跳動點).");
}
