"""Days the replay could not load, and why a run replayed nothing: reported after the replay, exit status 3."""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import date, timedelta

from vorn_kest_backtest import utils
from vorn_kest_backtest.modules.market.market import TradingCalendar

EXIT_MISSING_DATA = 3


@dataclass
class MissingDays:
    """`failed`: Ticker.failed_days ({"code", "date", "reason"}); `empty_codes`: code -> why it replayed nothing
    (only when the whole run replayed no tick)."""

    failed: list[dict[str, str]] = field(default_factory=list)
    empty_codes: dict[str, str] = field(default_factory=dict)

    def exit_status(self, allow_missing_days: bool) -> int:
        if self.empty_codes or (self.failed and not allow_missing_days):
            return EXIT_MISSING_DATA
        return 0


def _days(start: str, end: str) -> list[date]:
    first, last = utils.format_to_dt(start).date(), utils.format_to_dt(end).date()
    return [first + timedelta(days=n) for n in range((last - first).days + 1)]


def _empty_reason(code: str, days: list[date], failed: list[dict[str, str]], calendar: TradingCalendar) -> str:
    reasons = sorted({day["reason"] for day in failed if day["code"] == code})
    if reasons:
        return "下載失敗: " + "; ".join(reasons)
    if any(calendar.is_trading_day(day) for day in days):
        return "來源沒有資料"
    if any(day in calendar.holidays for day in days):
        return "交易所休假日"
    return "週末休市"


def collect(failed_days: list[dict[str, str]], codes: list[dict[str, str]], start: str, end: str,
            replayed: int) -> MissingDays:
    missing = MissingDays(failed=list(failed_days))
    if replayed == 0:
        calendar, days = TradingCalendar(), _days(start, end)
        missing.empty_codes = {
            item["code"]: _empty_reason(item["code"], days, missing.failed, calendar) for item in codes
        }
    return missing


def report(missing: MissingDays) -> None:
    """The red block printed after the replay."""
    if missing.failed:
        lines = [f"  {day['code']} {day['date']}: {day['reason']}" for day in missing.failed]
        utils.console.print("[red]以下日子的 Tick 資料無法載入:\n" + "\n".join(lines) + "[/red]")
    if missing.empty_codes:
        lines = [f"  {code}: {reason}" for code, reason in missing.empty_codes.items()]
        utils.console.print("[red]回放了 0 筆 Tick:\n" + "\n".join(lines) + "[/red]")


def summary_text(missing: MissingDays) -> str:
    """One cell of the summary table."""
    if not missing.failed:
        return "0"
    named = ", ".join(f"{day['code']} {day['date']}" for day in missing.failed[:5])
    more = f" 等 {len(missing.failed)} 天" if len(missing.failed) > 5 else ""
    return f"[red]{named}{more}[/red]"
