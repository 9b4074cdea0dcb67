"""Each run's own output folder, so a later run never replaces an earlier run's files."""

from __future__ import annotations

import os
import re

from vorn_kest_backtest.constant import BASIC_INFO
from vorn_kest_backtest.modules.market.market import exchange_now

RUNS_FOLDER = "runs"


def new_run_folder(strategy_name: str, parent: str | None = None) -> str:
    """建立 <資料目錄>/runs/<YYYYmmdd-HHMMSS>-<策略>/ (交易所時間); 已存在時加上 -2, -3 ... ; 回傳路徑."""
    parent = parent or os.path.join(BASIC_INFO.data_dir, RUNS_FOLDER)
    os.makedirs(parent, exist_ok=True)
    name = exchange_now().strftime("%Y%m%d-%H%M%S") + "-" + (re.sub(r"[^\w.-]+", "_", strategy_name) or "strategy")
    folder, suffix = os.path.join(parent, name), 1
    while True:
        try:
            os.mkdir(folder)
            return folder
        except FileExistsError:
            suffix += 1
            folder = os.path.join(parent, f"{name}-{suffix}")


def claim_output_dir(path: str | os.PathLike[str]) -> str:
    """使用者指定的輸出資料夾 (絕對路徑); 已有另一次回測的輸出 (summary.json) 時拒絕, 不覆寫."""
    from vorn_kest_backtest.runner.errors import BacktestInputError

    folder = os.path.abspath(os.fspath(path))
    if os.path.exists(os.path.join(folder, "summary.json")):
        raise BacktestInputError(f"輸出資料夾已有另一次回測的結果 (summary.json), 請指定新的資料夾: {folder}")
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise BacktestInputError(f"輸出路徑不是資料夾: {folder}")
    os.makedirs(folder, exist_ok=True)
    return folder
