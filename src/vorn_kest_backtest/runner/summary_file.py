"""summary.json: what was run (strategy, parameters, codes, range, cost model) and the figures it gave."""

from __future__ import annotations

import json
import math
from typing import Any

from vorn_kest_backtest.runner.summary import Summary

# How the run ended: replayed to the end, stopped by Ctrl-C, or stopped by an error.
FINISHED, INTERRUPTED, FAILED = "完成", "中斷", "失敗"


def _finite(value: Any) -> Any:
    # JSON has no NaN or infinity; a figure that is not a number is written as null.
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def summary_document(summary: Summary, *, strategy: str, parameters: dict[str, Any], codes: list[dict[str, str]],
                     start: str, end: str, fee_settings: dict[str, Any],
                     fee_profile: dict[str, Any] | None = None, status: str = FINISHED) -> dict[str, Any]:
    return {
        "status": status,
        "strategy": strategy,
        "parameters": dict(parameters),
        "codes": [dict(item) for item in codes],
        "start": start,
        "end": end,
        "initial_capital": summary.initial_capital,
        "cost_model": {**fee_settings, "profile": fee_profile or {"name": "table"}},
        "figures": {name: _finite(value) for name, value in summary.figures().items()},
        "simulated_data": bool(summary.data_label),
        "data_label": summary.data_label or None,
        "open_positions": [dict(position) for position in summary.open_positions],
        "missing_days": [dict(day) for day in summary.missing_days.failed],
        "empty_codes": dict(summary.missing_days.empty_codes),
        "files": dict(summary.report_paths),
    }


def write_summary_file(path: str, summary: Summary, **run: Any) -> str:
    """寫出 summary.json (UTF-8); 回傳路徑."""
    with open(path, "w", encoding="utf-8") as file:
        json.dump(summary_document(summary, **run), file, ensure_ascii=False, indent=2, default=str)
        file.write("\n")
    return path
