"""`vorn-kest-backtest import taifex DIR`: converts a folder of daily files once into fast Parquet copies."""

from __future__ import annotations

import os

from rich.console import Console
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

from vorn_kest_backtest import utils
from vorn_kest_backtest.brokers.taifex import find_daily_files
from vorn_kest_backtest.brokers.taifex_store import ImportResult, convert_day, converted_path, is_current


def import_taifex(folder: str | os.PathLike[str], progress: bool = True) -> ImportResult:
    """轉換資料夾內所有期交所每日行情檔為 Parquet (存於 "vorn_parquet/"); 已轉換且來源未變者略過.

    每天各自以暫存檔寫入後更名, 中斷不會留下半個檔案; 無法讀取的檔案記錄於結果的 failed, 其餘照常轉換.
    """
    folder = os.fspath(folder)
    if not os.path.isdir(folder):
        raise ValueError(f"資料夾不存在: {folder}")
    result = ImportResult()
    sources = find_daily_files(folder)
    console = utils.console
    bar = Progress(
        TextColumn("{task.description}"),
        BarColumn(),
        MofNCompleteColumn(),
        TimeElapsedColumn(),
        console=console if isinstance(console, Console) else None,
        disable=not progress or not isinstance(console, Console),
    )
    with bar:
        task = bar.add_task("轉換期交所每日行情檔", total=len(sources))
        for trading_day, source in sources.items():
            if is_current(converted_path(folder, trading_day), source):
                result.current.append(trading_day)
            else:
                try:
                    complete = convert_day(folder, trading_day, source)
                except ValueError as error:
                    result.failed[trading_day] = str(error)
                    utils.console.print(f"[red]轉換 {trading_day} 失敗, 錯誤訊息: {error}[/red]")
                else:
                    result.converted.append(trading_day)
                    if not complete:
                        result.night_only.append(trading_day)
                        utils.console.print(
                            f"[yellow]{source} 只有夜盤, 沒有 {trading_day} 的日盤 (可能在日盤收盤前下載)[/yellow]"
                        )
            bar.advance(task)
    return result
