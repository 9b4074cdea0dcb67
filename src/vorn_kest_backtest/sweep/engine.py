"""What the sweep asks of an engine, and the choice of one by name."""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any, Protocol


class Engine(Protocol):
    """Runs picklable calls somewhere and hands back futures (`.result()`, `.done()`)."""

    name: str

    def __enter__(self) -> Engine: ...

    def __exit__(self, *exc_info: object) -> None: ...

    def submit(self, fn: Callable[..., Any], *args: Any) -> Any: ...

    def wait(self, futures: list[Any], timeout: float | None) -> set[Any]:
        """The futures among `futures` that are done, waiting up to `timeout` seconds for the first one
        (an empty set when none finished in time)."""
        ...

    def started(self, futures: Iterable[Any]) -> set[Any]:
        """The futures among `futures` whose call has begun on a worker."""
        ...

    def lost(self, exc: BaseException) -> bool:
        """Whether a future's error means the engine lost the call without its fault (submit it again)."""
        ...

    def stop(self, futures: Iterable[Any]) -> None:
        """Ends the sweep: drops the queued calls among `futures`, abandons running ones;
        finished results stay valid. The engine takes no further calls afterwards."""
        ...


ENGINE_NAMES = ("local", "dask")


def make_engine(engine: str | Engine, *, address: str | None = None, workers: int | None = None) -> Engine:
    """"local" = 本機多程序, "dask" = Dask distributed (有 address 時連線到既有的叢集)."""
    if not isinstance(engine, str):
        return engine
    if engine == "local":
        if address:
            raise ValueError(f"本機引擎不接受叢集位址: {address}")
        from vorn_kest_backtest.sweep.local_engine import LocalPoolEngine

        return LocalPoolEngine(workers)
    if engine == "dask":
        from vorn_kest_backtest.sweep.dask_engine import DaskEngine

        return DaskEngine(address, workers)
    raise ValueError(f"不支援的掃描引擎: {engine}")
