// Class Positions: construction, account statistics, capital and the latest tick per code.
#include <new>

#include "common/py_args.hpp"
#include "common/py_modules.hpp"
#include "positions_support.hpp"

namespace vkb::py {

namespace {

// The module's own blocking queue: a pop waits with the GIL released.
nb::object new_queue() {
    return loaded_module("vorn_kest_backtest.modules.positions.positions").attr("Queue")();
}

void init_positions(Self self) {
    const Keys& k = keys();
    nb::handle h = self.h;
    nb::object views = loaded_module("vorn_kest_backtest.modules.positions.book_views");
    set_attr(h, k.positions, views.attr("BookView")(h));
    set_attr(h, k.trade_records, nb::list());
    set_attr(h, k.product_type_mapper, nb::dict());
    set_attr(h, k.current_tick_infos, nb::dict());
    set_attr(h, k.fetch_position_queue, new_queue());
    set_attr(h, k.finish_fetch_position_queue, new_queue());
    set_attr(h, k.initial_capital, nb::int_(100000));
    set_attr(h, k.current_capital, get_attr(h, k.initial_capital));
    set_attr(h, k._profit_report, views.attr("ProfitReportView")(h));
    set_attr(h, k._fee_settings, default_fee_settings(0));
    set_attr(h, k._account_infos, views.attr("AccountInfosView")(h));
    self.p->ledger.reset(to_double(get_attr(h, k.initial_capital)));
    prepare_ledger(self.p->ledger);
}

}  // namespace

}  // namespace vkb::py

void bind_positions(nanobind::module_& m) {
    namespace nb = nanobind;
    using namespace vkb::py;
    PositionsClass cls(m, "Positions", nb::dynamic_attr(), "Position Module");

    cls.def("__init__", method("__init__", {}, [](Self self) {
        new (self.p) Positions();
        init_positions(self);
    }), nb::sig("def __init__(self) -> None"));

    cls.def(
        "_Positions__init_account_info",
        method("__init_account_info", {}, [](Self) { return new_account_info(); }),
        nb::sig("def _Positions__init_account_info(self) -> dict"),
        "初始化帳戶資訊 (每次回傳新的統計紀錄)");

    cls.def(
        "set_initial_capital",
        method<kind::Int>("set_initial_capital", {"capital"}, [](Self self, nb::handle capital) {
            set_attr(self.h, keys().initial_capital, capital);
            set_attr(self.h, keys().current_capital, capital);
            self.p->ledger.reset(to_double(capital));
        }),
        nb::sig("def set_initial_capital(self, capital: int) -> None"),
        "設定初始資金");

    cls.def(
        "fetch_account_balance",
        method("fetch_account_balance", {}, [](Self self) { return get_attr(self.h, keys().current_capital); }),
        nb::sig("def fetch_account_balance(self) -> float"),
        "取得帳戶餘額");

    cls.def(
        "fetch_margin",
        method("fetch_margin", {}, [](Self self) { return get_attr(self.h, keys().current_capital); }),
        nb::sig("def fetch_margin(self) -> float"),
        "取得保證金");

    cls.def(
        "set_current_tick",
        method<kind::Dict>("set_current_tick", {"tick"}, [](Self self, nb::handle tick) {
            nb::object code = get_item(tick, keys().code);
            set_item(get_attr(self.h, keys().current_tick_infos), code, tick);
        }),
        nb::sig("def set_current_tick(self, tick: dict) -> None"),
        "設定目前的 Tick 資訊");

    cls.def_prop_ro(
        "ledger",
        [](nb::handle self) {
            return nb::cast(&nb::inst_ptr<Positions>(self)->ledger, nb::rv_policy::reference_internal, self);
        },
        nb::sig("def ledger(self) -> Ledger"),
        "帳戶整體的帳本 (現金, 保證金, 權益, 可用資金, 未平倉部位); 每筆 set_positions 都記入.");

    cls.def_prop_rw(
        "wait_fetch_position_response_flag",
        [](Positions& p) { return p.wait_fetch_position_response.load(); },
        [](Positions& p, bool value) { p.wait_fetch_position_response.store(value); },
        "是否正在等待持有部位的回應");

    bind_positions_pricing(cls);
    bind_positions_fee_profile(cls);
    bind_positions_trade_records(cls);
    bind_positions_book(cls);
    bind_positions_book_access(cls);
    bind_positions_views(cls);
    bind_positions_queues(cls);
    bind_positions_reports(cls);
}
