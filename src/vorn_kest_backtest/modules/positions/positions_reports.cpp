// Save paths, profit rows per code, and the report methods. The reports themselves are written in
// Python (vorn_kest_backtest.reports); they are imported at call time, so loading the module does
// not pull in the plotting libraries.
#include "common/py_args.hpp"
#include "common/py_console.hpp"
#include "positions_support.hpp"

namespace vkb::py {

namespace {

nb::object os_path_join(nb::handle first, nb::handle rest) {
    nb::object parts = nb::steal(PySequence_Concat(nb::make_tuple(first).ptr(), rest.ptr()));
    if (!parts.is_valid()) throw nb::python_error();
    PyObject* joined = PyObject_Call(loaded_module("os.path").attr("join").ptr(), parts.ptr(), nullptr);
    if (!joined) throw nb::python_error();
    return nb::steal(joined);
}

nb::args tuple_slice(const nb::args& args, Py_ssize_t from, Py_ssize_t to) {
    PyObject* slice = PyTuple_GetSlice(args.ptr(), from, to);
    if (!slice) throw nb::python_error();
    return nb::steal<nb::args>(slice);
}

// data_dir/<sub_folders...>/file_name, the folder made if missing.
nb::object save_path_under(nb::handle file_name, nb::handle sub_folders) {
    // Read at every call: a caller may point the data directory elsewhere between reports.
    nb::object folder = os_path_join(basic_info().attr("data_dir"), sub_folders);
    utils_module().attr("make_dir")(folder);
    return os_path_join(folder, nb::make_tuple(file_name));
}

// (file_name, *sub_folder): file_name by position or keyword, the sub folders by position only.
nb::object generate_save_path(const nb::args& args, const nb::kwargs& kwargs) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args.ptr());
    auto [file_name] = parse_args<1>("__generate_save_path", {"file_name"}, 1, tuple_slice(args, 0, 1), kwargs);
    expect_exact(file_name, &PyUnicode_Type, "file_name");
    return save_path_under(file_name, tuple_slice(args, 1, given));
}

nb::list profit_rows_by_code(nb::handle self, nb::handle code) {
    const Keys& k = keys();
    nb::object rows = get_item(get_attr(self, k._profit_report), k.rows);
    nb::list out;
    for (nb::handle row : rows)
        if (equals(get_item(row, k.code), code)) out.append(row);
    return out;
}

nb::object report_function(const char* module, const char* name) {
    return loaded_module(module).attr(name);
}

}  // namespace

void bind_positions_reports(PositionsClass& cls) {
    cls.def_prop_ro(
        "profit_rows",
        [](nb::handle self) {
            nb::list out;
            for (nb::handle row : get_item(get_attr(self, keys()._profit_report), keys().rows))
                out.append(row.attr("copy")());
            return out;
        },
        nb::sig("def profit_rows(self) -> list[dict]"),
        "損益明細 (每筆為複本, 依原本順序)");

    cls.def(
        "account_info",
        method<kind::Str>("account_info", {"code"}, [](Self self, nb::handle code) {
            const std::string name(utf8(code));
            self.p->book.stats_of(name);
            return account_record(*self.p, name);
        }),
        nb::sig("def account_info(self, code: str) -> dict"),
        "取得單一商品的帳戶統計 (沒有時建立新的統計紀錄)");

    cls.def(
        "save_path",
        method<kind::Str, kind::Opt<kind::OrNone<kind::Str>>>(
            "save_path", {"file_name", "folder"}, [](Self, nb::handle file_name, nb::handle folder) {
                return save_path_under(file_name, is_given(folder) ? nb::make_tuple(folder) : nb::make_tuple());
            }),
        nb::sig("def save_path(self, file_name: str, folder: str | None = None) -> str"),
        "產生存檔路徑 (資料夾 = BASIC_INFO.data_dir 或其下的 folder, 不存在時建立)");

    cls.def(
        "_Positions__generate_save_path",
        [](Self, nb::args args, nb::kwargs kwargs) { return generate_save_path(args, kwargs); },
        nb::sig("def _Positions__generate_save_path(self, file_name: str, *sub_folder: str) -> str"),
        "產生存檔路徑\n\n資料夾 = BASIC_INFO.data_dir 依序接上 sub_folder (不存在時建立), 回傳資料夾/file_name.");

    cls.def(
        "get_profit_rows_by_code",
        method<kind::Str>("get_profit_rows_by_code", {"code"},
                          [](Self self, nb::handle code) { return profit_rows_by_code(self.h, code); }),
        nb::sig("def get_profit_rows_by_code(self, code: str) -> list[dict]"),
        "取得單一商品的損益明細\n\n回傳新的 list, 依原本順序; 其中的損益紀錄與 _profit_report[\"rows\"] 共用, 不是複本.");

    cls.def(
        "export_trade_records",
        method("export_trade_records", {}, [](Self self) {
            return report_function("vorn_kest_backtest.reports.trade_export", "export_trade_records")(self.h);
        }),
        nb::sig("def export_trade_records(self) -> str"),
        "匯出交易紀錄 (CSV, 檔名為當地時間 \"%Y-%m-%d %H%M%S_trade_records.csv\"); 回傳檔案路徑");

    cls.def(
        "generate_standard_report",
        method<kind::Str, kind::Any>(
            "generate_standard_report", {"code", "quote_manager"},
            [](Self self, nb::handle code, nb::handle quote_manager) {
                return report_function("vorn_kest_backtest.reports.standard", "generate_standard_report")(
                    self.h, code, quote_manager);
            }),
        nb::sig("def generate_standard_report(self, code: str, quote_manager: QuoteManager) -> str"),
        "產生基本回測報告 (report/<code>-report.html); 回傳檔案路徑");

    cls.def(
        "generate_qs_profit_report",
        method<kind::Any, kind::Str>(
            "generate_qs_profit_report", {"quote_manager", "code"},
            [](Self self, nb::handle quote_manager, nb::handle code) {
                return report_function("vorn_kest_backtest.reports.performance", "generate_qs_profit_report")(
                    self.h, quote_manager, code);
            }),
        nb::sig("def generate_qs_profit_report(self, quote_manager: QuoteManager, code: str) -> str | None"),
        "產生進階績效報告 (quantstats HTML 與損益明細 CSV); 回傳 HTML 路徑, 沒有損益資料時回傳 None");
}

}  // namespace vkb::py
