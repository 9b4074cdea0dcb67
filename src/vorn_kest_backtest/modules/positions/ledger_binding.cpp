// Class Ledger: the account as a whole (vkb::Ledger), owned by a Positions or made on its own.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/py_modules.hpp"
#include "market/market_values.hpp"
#include "positions_support.hpp"
#include "vkb/margin_schedule.hpp"

namespace vkb::py {

namespace {

using SchedulePtr = std::shared_ptr<const MarginSchedule>;
using CalendarPtr = std::shared_ptr<const SessionCalendar>;

// Rows of (family, datetime.date, initial margin); a bad margin is a ValueError from the core.
SchedulePtr schedule_from(nb::handle rows) {
    auto schedule = std::make_shared<MarginSchedule>();
    for (nb::handle row : nb::iter(rows)) {
        if (nb::len(row) != 3) raise_value(PyExc_ValueError, "保證金列必須是 (商品族, 生效日, 原始保證金)", row);
        nb::object family = row[0], day = row[1], margin = row[2];
        if (!nb::isinstance<nb::str>(family)) raise_value(PyExc_TypeError, "商品族必須是字串", family);
        schedule->add({nb::cast<std::string>(family), days_of(day), nb::cast<double>(margin)});
    }
    return schedule;
}

const SchedulePtr& package_margins() {
    static std::atomic<const SchedulePtr*> slot{nullptr};
    return published_once(slot, [] {
        return schedule_from(loaded_module("vorn_kest_backtest.margin_table").attr("package_margin_rows")());
    });
}

const CalendarPtr& listed_calendar() {
    static std::atomic<const CalendarPtr*> slot{nullptr};
    return published_once(slot, [] {
        std::vector<std::int64_t> days;
        for (nb::handle day : loaded_module("vorn_kest_backtest.modules.market.market").attr("listed_holidays")())
            days.push_back(days_of(day));
        auto calendar = std::make_shared<SessionCalendar>();
        calendar->set_holidays(days);
        return CalendarPtr(std::move(calendar));
    });
}

// A margin figure on the exchange clock, read at every call (a caller may change BASIC_INFO at run time),
// with the notices it raised.
template <class Ask>
double announced(Ledger& ledger, Ask ask) {
    ledger.set_utc_offset_hours(exchange_utc_offset());
    const double value = ask();
    print_margin_notices(ledger);
    return value;
}

nb::dict position_record(const LedgerPosition& p) {
    nb::dict r;
    r["code"] = p.code;
    r["contract"] = p.contract;
    r["market"] = std::string(to_string(p.market));
    r["side"] = p.long_side ? "Buy" : "Sell";
    r["quantity"] = p.quantity;
    r["entry_price"] = p.entry_price;
    r["last_price"] = p.last_price;
    r["unrealised"] = p.unrealised;
    return r;
}

}  // namespace

void prepare_ledger(Ledger& ledger) {
    ledger.set_margins(package_margins());
    ledger.set_calendar(listed_calendar(), exchange_utc_offset());
}

void print_margin_notices(Ledger& ledger) {
    const std::vector<MarginNotice> notices = ledger.take_margin_notices();
    if (notices.empty()) return;
    nb::list rows;
    for (const MarginNotice& notice : notices) rows.append(nb::make_tuple(notice.family, date_of(notice.first_date)));
    loaded_module("vorn_kest_backtest.margin_table").attr("announce_early_dates")(rows);
}

void bind_ledger(nb::module_& m) {
    nb::class_<Ledger>(m, "Ledger",
                       "帳戶整體: 現金, 依實際契約的未平倉部位, 期貨保證金占用, 權益與可用資金.\n\n"
                       "股票以成交金額進出現金 (放空收入現金, 股票為負債); 期貨進場只付費用, 由交易所圈存原始保證金,\n"
                       "平倉時 (同一契約先進先出) 價差損益進入現金. Positions.ledger 是帳戶自己的帳本.")
        .def(
            "__init__",
            [](Ledger* self, double initial_cash) {
                new (self) Ledger(initial_cash);
                prepare_ledger(*self);
            },
            nb::arg("initial_cash") = 0.0, "initial_cash: 初始現金; 使用套件內的保證金表與休市日表.")
        .def("cash", &Ledger::cash, "現金.")
        .def("equity", &Ledger::equity, "權益: 現金 + 股票以最新價計 (空單為負) + 期貨未實現損益.")
        .def(
            "margin_in_use",
            [](Ledger& self) { return announced(self, [&] { return self.margin_in_use(); }); },
            "期貨未平倉口數 x 帳本時鐘所在交易日的原始保證金.")
        .def(
            "buying_power",
            [](Ledger& self, nb::handle market) {
                return announced(self, [&] { return self.buying_power(market_of(market)); });
            },
            nb::arg("market"), nb::sig("def buying_power(self, market: str) -> float"),
            "可用資金. \"Stock\": 現金 - 保證金占用 - 期貨未實現虧損; \"Future\": 權益 - 保證金占用.")
        .def(
            "initial_margin",
            [](Ledger& self, std::string_view code, std::optional<double> timestamp) {
                return announced(self, [&] { return self.initial_margin(code, timestamp); });
            },
            nb::arg("code"), nb::arg("timestamp") = nb::none(),
            "每口原始保證金, 依 timestamp (未給時為帳本時鐘) 所在交易日; 保證金表沒有的商品族為 0.")
        .def("mark", &Ledger::mark, nb::arg("code"), nb::arg("price"), nb::arg("timestamp"), nb::arg("contract") = nb::none(),
            "以最新成交價標記代碼 (給 contract 時只標記該契約); 非正數或非有限的價格不採用 (回傳 False).")
        .def(
            "book",
            [](Ledger& self, std::string code, nb::handle market, nb::handle action, std::int64_t quantity,
               std::int64_t unit, double price, double charges, double timestamp, std::string contract) {
                if (!nb::isinstance<nb::str>(action) ||
                    (nb::cast<std::string>(action) != "Buy" && nb::cast<std::string>(action) != "Sell"))
                    raise_value(PyExc_ValueError, "買賣方向必須是 \"Buy\" 或 \"Sell\"", action);
                self.book({std::move(code), std::move(contract), market_of(market),
                           nb::cast<std::string>(action) == "Buy", quantity, unit, price, charges, timestamp});
            },
            nb::arg("code"), nb::arg("market"), nb::arg("action"), nb::arg("quantity"), nb::arg("unit"),
            nb::arg("price"), nb::arg("charges"), nb::arg("timestamp"), nb::arg("contract") = "",
            nb::sig("def book(self, code: str, market: str, action: str, quantity: int, unit: int, price: float, "
                    "charges: float, timestamp: float, contract: str = '') -> None"),
            "記一筆成交: unit 為每張股數或每點價值, price 為成交入帳價 (含滑價), charges 為此筆的手續費 + 稅 + 固定成本.\n"
            "Positions 的帳本由 set_positions 記帳, 不需自行呼叫.")
        .def(
            "open_positions",
            [](const Ledger& self) {
                nb::list out;
                for (const LedgerPosition& p : self.open_positions()) out.append(position_record(p));
                return out;
            },
            nb::sig("def open_positions(self) -> list[dict]"),
            "未平倉部位 (依代碼, 契約): code, contract, market, side (\"Buy\"/\"Sell\"), quantity, entry_price\n"
            "(未平倉各筆的平均進場價), last_price, unrealised (未扣成本的未實現損益).")
        .def("has_positions", &Ledger::has_positions, "是否有未平倉部位.")
        .def_prop_ro("clock", &Ledger::clock, "帳本時鐘: 最近一筆成交或標記的時間 (秒); 尚無時為 None.")
        .def(
            "load_margins",
            [](Ledger& self, nb::handle rows) { self.set_margins(schedule_from(rows)); },
            nb::arg("rows"),
            nb::sig("def load_margins(self, rows: collections.abc.Iterable[tuple[str, datetime.date, float]]) -> None"),
            "換掉保證金表: 每列 (商品族, 生效交易日, 每口原始保證金); 見 vorn_kest_backtest.margin_table.")
        .def(
            "margin_rows",
            [](const Ledger& self) {
                nb::list out;
                for (const MarginRow& row : self.margins().rows())
                    out.append(nb::make_tuple(row.family, date_of(row.effective_date), row.initial_margin));
                return out;
            },
            nb::sig("def margin_rows(self) -> list[tuple[str, datetime.date, float]]"),
            "目前的保證金表 (依商品族, 生效日).");
}

}  // namespace vkb::py
