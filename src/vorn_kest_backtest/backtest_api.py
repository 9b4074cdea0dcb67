"""`backtest(...)`: one backtest from Python (a script or a notebook cell), its results returned as data."""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from contextlib import nullcontext
from datetime import date, datetime
from typing import TYPE_CHECKING, Any

from vorn_kest_backtest.runner.choices import FeeProfile, RollMode, TickWindow
from vorn_kest_backtest.runner.errors import BacktestInputError, StrategyError
from vorn_kest_backtest.runner.strategy import Strategy

if TYPE_CHECKING:
    from vorn_kest_backtest.runner.result import BacktestResult

DateLike = str | date | datetime
CodesLike = str | Sequence[str | tuple[str, str] | Mapping[str, str]]


def _is_frame(value: Any) -> bool:
    return type(value).__name__ == "DataFrame" and type(value).__module__.split(".")[0] in ("polars", "pandas")


def _broker(broker: Any, data: str | os.PathLike[str] | None) -> Any:
    from vorn_kest_backtest.brokers import FileBroker, SimulatedBroker, TaifexBroker
    from vorn_kest_backtest.brokers.frame import FrameBroker

    if _is_frame(broker):
        return FrameBroker(broker)
    if broker is None or broker == "simulated":
        return SimulatedBroker()
    if broker in ("files", "taifex"):
        if data is None or not os.path.isdir(data):
            raise BacktestInputError(f'broker="{broker}" 需要以 data= 指定存在的資料夾: {data}')
        return FileBroker(data) if broker == "files" else TaifexBroker(data)
    if isinstance(broker, str):
        raise BacktestInputError(f'不支援的 broker (可用 "simulated", "files", "taifex" 或 DataFrame): {broker!r}')
    return broker


def _market_of(api: Any, code: str) -> str:
    for family, market in (("Stocks", "Stock"), ("Futures", "Future")):
        try:
            if getattr(api.Contracts, family)[code] is not None:
                return market
        except (KeyError, LookupError, AttributeError, TypeError):
            continue
    return "Stock" if code[:1].isdigit() else "Future"


def _codes(codes: CodesLike | None, strategy_class: type[Strategy], api: Any) -> list[dict[str, str]]:
    from vorn_kest_backtest.runner.codes import parse_codes

    if codes is None:
        if strategy_class.codes:
            return [{"code": code, "market": market} for code, market in strategy_class.codes]
        frame_codes = getattr(api, "codes", None)
        if frame_codes:
            return [{"code": code, "market": _market_of(api, code)} for code in frame_codes]
        raise BacktestInputError("沒有指定任何代碼: 請給 codes=, 或在策略類別設定 codes")
    if isinstance(codes, str):
        items: Sequence[Any] = [part.strip() for part in codes.split(",") if part.strip()]
    else:
        items = codes
    out = []
    for item in items:
        if isinstance(item, Mapping):
            out.extend(parse_codes(f"{item['code']}:{item['market']}"))
        elif isinstance(item, tuple):
            out.extend(parse_codes(f"{item[0]}:{item[1]}"))
        elif ":" in str(item):
            out.extend(parse_codes(str(item)))
        else:
            out.append({"code": str(item), "market": _market_of(api, str(item))})
    if not out:
        raise BacktestInputError(f"沒有指定任何代碼: {codes!r}")
    return out


def _day_text(value: DateLike | None) -> str | None:
    if isinstance(value, (date, datetime)):
        return value.strftime("%Y-%m-%d")
    return value


def _strategy(strategy: type[Strategy] | Strategy, params: Mapping[str, Any] | None,
              capital: int | None) -> tuple[Strategy, type[Strategy]]:
    from vorn_kest_backtest.runner.parameters import configured_class, strategy_parameters

    given = dict(params or {})
    strategy_class = strategy if isinstance(strategy, type) else type(strategy)
    if not (isinstance(strategy_class, type) and issubclass(strategy_class, Strategy)):
        raise BacktestInputError(f"strategy 必須是 Strategy 子類別或其物件: {strategy!r}")
    known = strategy_parameters(strategy_class)
    unknown = [name for name in given if name not in known]
    if unknown:
        names = ", ".join(sorted(known)) or "無"
        raise BacktestInputError(f"策略沒有參數 {', '.join(unknown)} (可用的參數: {names})")
    if capital is not None:
        if capital <= 0:
            raise BacktestInputError(f"初始資金必須大於 0: {capital}")
        given["initial_capital"] = int(capital)
    if isinstance(strategy, type):
        configured = configured_class(strategy_class, given)
        try:
            return configured(), configured
        except Exception as error:
            raise StrategyError("__init__", error) from error
    for name, value in given.items():
        setattr(strategy, name, value)
    return strategy, strategy_class


def backtest(strategy: type[Strategy] | Strategy, *, codes: CodesLike | None = None, start: DateLike | None = None,
             end: DateLike | None = None, broker: Any = None, data: str | os.PathLike[str] | None = None,
             capital: int | None = None, fees: FeeProfile | None = None, slippage_ticks: int | None = None,
             params: Mapping[str, Any] | None = None, report: bool = False, quiet: bool = True,
             output_dir: str | os.PathLike[str] | None = None, roll: RollMode | None = None,
             margins: str | os.PathLike[str] | None = None, tick_window: TickWindow = "day") -> BacktestResult:
    """回測一次並以資料回傳結果 (BacktestResult: stats 與 trades, orders, fills, equity, daily 等 polars 資料表).

    strategy: Strategy 子類別 (可在 notebook 中定義) 或其物件; params: 策略參數 (類別屬性), capital: 初始資金.
    codes: "2330:Stock,0050:Stock", ["2330", ("TXFR1", "Future")] 等; 預設取策略的 codes (DataFrame 則為其全部代碼).
    start / end: 日期 ("%Y-%m-%d", date 或 datetime); 預設取策略的 start / end (DataFrame 則為其首尾日期).
    broker: 券商物件, "simulated" (預設), "files" / "taifex" (以 data= 指定資料夾), 或 Tick DataFrame
    (polars 或 pandas, 欄位見 vorn_kest_backtest.brokers.frame; 不寫入 Tick 快取).
    fees: "tw_broker" (預設) 或 "table"; slippage_ticks: 買賣滑價跳動數, 優先於策略 on_start 中的設定.
    report: 寫出交易紀錄, summary.json 與 HTML 報告 (output_dir, 預設 <資料夾>/runs/<時間>-<策略>/);
    只給 output_dir 時寫出交易紀錄與 summary.json, 不產生 HTML. quiet: 不在主控台印出任何訊息.
    tick_window: 每個商品保留原始 tick 的範圍, "day" (當日, 預設), "all" (全部) 或 N (最近 N 個交易日);
    K 棒與指標不受影響, 只限制長區間回測的記憶體.
    """
    from vorn_kest_backtest.runner.codes import check_codes_known, parse_date_range
    from vorn_kest_backtest.runner.parameters import strategy_parameters
    from vorn_kest_backtest.runner.result import BacktestResult
    from vorn_kest_backtest.runner.run_folder import claim_output_dir
    from vorn_kest_backtest.runner.run_record import RunRecord
    from vorn_kest_backtest.runner.session import RunOutputs, run_backtest
    from vorn_kest_backtest.runner.sweep_run import muted_console
    from vorn_kest_backtest.runner.tick_window import checked_tick_window

    tick_window = checked_tick_window(tick_window)
    if slippage_ticks is not None and (not isinstance(slippage_ticks, int) or slippage_ticks < 0):
        raise BacktestInputError(f"滑價跳動數必須是非負整數: {slippage_ticks!r}")
    instance, strategy_class = _strategy(strategy, params, capital)
    api = _broker(broker, data)
    run_codes = _codes(codes, strategy_class, api)
    first, last = getattr(api, "first_day", None), getattr(api, "last_day", None)
    start_from, end_to = parse_date_range(_day_text(start) or strategy_class.start or first,
                                          _day_text(end) or strategy_class.end or last)
    check_codes_known(api, run_codes)
    folder = None if output_dir is None else claim_output_dir(output_dir)
    outputs = RunOutputs(folder=folder, html=report, files=report or folder is not None,
                         parameters=strategy_parameters(strategy_class))
    record = RunRecord()
    with muted_console() if quiet else nullcontext():
        summary = run_backtest(instance, run_codes, start_from, end_to, api, outputs=outputs,
                               slippage_ticks=slippage_ticks, fees=fees or "tw_broker", roll=roll,
                               margins=None if margins is None else os.fspath(margins), record=record,
                               tick_window=tick_window)
    return BacktestResult.from_run(summary, record, run_codes, strategy_class.__name__, quiet)
