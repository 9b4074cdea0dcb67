// Class PositionsCore: the compiled account under the Python class Positions (account.py), which
// keeps the attributes, checks the arguments and routes files, queues and reports.
#include <new>

#include "positions_support.hpp"

void bind_positions(nanobind::module_& m) {
    namespace nb = nanobind;
    using namespace vkb::py;
    PositionsClass cls(m, "PositionsCore", nb::dynamic_attr(), "帳戶的編譯核心: 部位簿, 成本與帳本 (公開類別為 Positions).");

    cls.def("__init__", [](Positions* p) {
        new (p) Positions();
        prepare_ledger(p->ledger);
    });
    cls.def("_reset_ledger", [](Positions& p, nb::handle capital) { p.ledger.reset(to_double(capital)); });
    cls.def_static("_new_account_info", &new_account_info);

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
}
