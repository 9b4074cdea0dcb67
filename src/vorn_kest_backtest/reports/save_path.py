"""Where a report file goes: a run's own folder when one is given, else the account's save path."""

from __future__ import annotations

import os

from vorn_kest_backtest.utils import make_dir


def output_path(positions, file_name: str, folder: str | None = None, sub_folder: str | None = None) -> str:
    """folder 有值時寫入該資料夾 (自動建立); 否則為資料目錄 (或其下的 sub_folder)."""
    if folder is None:
        return positions.save_path(file_name, sub_folder)
    make_dir(folder)
    return os.path.join(folder, file_name)
