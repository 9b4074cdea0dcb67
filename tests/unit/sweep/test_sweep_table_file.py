"""The sweep table on disk, resuming from it, and how the gathering loop names unfinished runs."""

from __future__ import annotations

import signal
from concurrent.futures import Future

import polars as pl
import pytest
from polars.testing import assert_frame_equal

from vorn_kest_backtest.sweep import build_plan, run_sweep
from vorn_kest_backtest.sweep.collect import INTERRUPTED, collect
from vorn_kest_backtest.sweep.prefetch import prefetch_jobs
from vorn_kest_backtest.sweep.results import plan_frame, results_frame, sort_results
from vorn_kest_backtest.sweep.resume import finished_rows
from vorn_kest_backtest.sweep.stop_signals import StopRequest, stop_on_signals
from vorn_kest_backtest.sweep.table_file import SweepTableFile, read_table
from vorn_kest_backtest.sweep.worker import execute_run


def _outcome(run, net, error=None):
    return {"run": run, "summary": {"trades": 1, "net_profit": net}, "run_time_s": 0.1, "error": error}


def _jobs():
    return build_plan("s", {"fast": [5, 10], "slow": [20, 30]}, ["2330"], [("2024-01-02", "2024-01-31")])


def test_rows_are_appended_batch_by_batch_and_the_twin_always_holds_them_all(tmp_path):
    jobs = _jobs()
    plan = plan_frame(jobs)
    path = tmp_path / "out" / "sweep.csv"
    table = SweepTableFile(path, results_frame(jobs, {}, plan=plan).columns)
    assert pl.read_csv(path).height == 0 and pl.read_parquet(path.with_suffix(".parquet")).height == 0

    table.append(results_frame(jobs, {2: _outcome(2, 7.0)}, plan=plan))
    table.append(results_frame(jobs, {0: _outcome(0, 9.0), 3: _outcome(3, None, "RuntimeError: x")}, plan=plan))
    on_disk = pl.read_csv(path)
    assert on_disk["run"].to_list() == [2, 0, 3]  # in the order they finished
    assert on_disk.select("net_profit", "status", "error").rows() == [
        (7.0, "ok", None), (9.0, "ok", None), (None, "failed", "RuntimeError: x")]
    twin = pl.read_parquet(path.with_suffix(".parquet"))
    assert twin["codes"].to_list() == ["2330"] * 3  # the twin keeps the types the CSV loses
    assert_frame_equal(twin.drop("codes"), on_disk.drop("codes"), check_dtypes=False)

    final = sort_results(results_frame(jobs, {0: _outcome(0, 9.0), 2: _outcome(2, 7.0),
                                                3: _outcome(3, None, "RuntimeError: x")}, {1: "not run"}, plan=plan),
                         "net_profit")
    table.rewrite(final)
    assert pl.read_csv(path).select("run", "status").rows() == [(0, "ok"), (2, "ok"), (3, "failed"), (1, "not run")]
    assert sorted(p.name for p in path.parent.iterdir()) == ["sweep.csv", "sweep.parquet"]


def test_a_table_is_read_from_its_csv_when_the_twin_is_missing_and_old_tables_get_a_status(tmp_path):
    path = tmp_path / "old.csv"
    path.write_text("run,fast,codes,start,end,net_profit,error\n0,5,2330,,,1.0,\n1,10,2330,,,,boom\n", encoding="utf-8")
    assert read_table(path)["status"].to_list() == ["ok", "failed"]
    with pytest.raises(FileNotFoundError, match="missing.csv"):
        read_table(tmp_path / "missing.csv")
    (tmp_path / "bad.csv").write_text("a,b\n1,2\n", encoding="utf-8")
    with pytest.raises(ValueError, match="run, codes, start, end, error"):
        read_table(tmp_path / "bad.csv")


def test_resume_matches_parameter_sets_by_value_and_reruns_unfinished_ones(tmp_path):
    jobs = _jobs()
    path = tmp_path / "old.csv"
    # fast read back as float, slow as text: still the same sets; run numbers are not compared
    path.write_text(
        "run,fast,slow,codes,start,end,net_profit,status,error\n"
        "7,5.0,20,2330,2024-01-02,2024-01-31,1.0,ok,\n"
        "8,10.0,20,2330,2024-01-02,2024-01-31,,failed,boom\n"
        "9,10.0,30,2330,2024-01-02,2024-01-31,,interrupted,\n"
        "1,5.0,30,2330,2024-01-02,2024-02-29,2.0,ok,\n",
        encoding="utf-8",
    )
    kept, runs = finished_rows(path, jobs, plan_frame(jobs))
    assert runs == {0, 2}  # (5, 20) and (10, 20); (5, 30) was another range
    assert kept["run"].to_list() == [7, 8, 1]

    other = build_plan("s", {"fast": [5], "length": [3]})
    with pytest.raises(ValueError, match=r"\(fast, slow\).*\(fast, length\)"):
        finished_rows(path, other, plan_frame(other))


@pytest.mark.parametrize(("settings", "message"), [
    ({"resume": "a.csv", "output": "b.csv"}, "b.csv"),
    ({"prefetch": True, "own_cache": True}, "own_cache"),
])
def test_conflicting_durability_settings_are_refused_before_running(tmp_path, settings, message):
    (tmp_path / "a.csv").write_text("run,fast,codes,start,end,error\n", encoding="utf-8")
    settings = {name: str(tmp_path / value) if name in ("resume", "output") else value
                for name, value in settings.items()}
    with pytest.raises(ValueError, match=message):
        run_sweep("s", {"fast": [5]}, engine=_ForbiddenEngine(), progress=False, **settings)


class _ForbiddenEngine:
    name = "forbidden"

    def __enter__(self):
        raise AssertionError("the engine must not start")

    def __exit__(self, *exc_info):
        return None


def test_prefetch_fetches_each_code_and_range_once():
    jobs = build_plan("s", {"fast": [5, 10]}, ["2330", ["2330", "TXFR1"]], [("2024-01-02", "2024-01-05")])
    jobs += build_plan("s", {"fast": [5]})
    units = prefetch_jobs(jobs)
    assert [(unit["codes"], unit["start"]) for unit in units] == [
        (["2330"], "2024-01-02"), (["TXFR1"], "2024-01-02"), ([], None)]
    assert [unit["run"] for unit in units] == [0, 1, 2] and all(unit["params"] == {} for unit in units)


class _StubEngine:
    """Runs 0 finishes at once; the others never do. Run 1 counts as begun on a worker."""

    name = "stub"

    def __init__(self):
        self.submitted: list[int] = []
        self.stopped: list[Future] = []
        self._runs: dict[Future, int] = {}

    def submit(self, fn, run_fn, job):
        future: Future = Future()
        self.submitted.append(job["run"])
        self._runs[future] = job["run"]
        if job["run"] == 0:
            future.set_result(execute_run(run_fn, job))
        return future

    def wait(self, futures, timeout):
        return {future for future in futures if future.done()}

    def started(self, futures):
        return {future for future in futures if self._runs[future] == 1}

    def lost(self, exc):
        return False

    def stop(self, futures):
        self.stopped = list(futures)


def test_a_stop_request_names_begun_runs_interrupted_and_the_others_not_run():
    jobs = build_plan("s", {"n": [0, 1, 2, 3]})
    request = StopRequest()
    engine = _StubEngine()

    def batch(outcomes):
        request.signum = signal.SIGTERM

    collected = collect(engine, lambda job: {"trades": 1}, jobs, on_batch=batch, timeout=30, stop=request)
    assert collected.stopped == INTERRUPTED and list(collected.outcomes) == [0]
    assert collected.unfinished == {1: "interrupted", 2: "not run", 3: "not run"}
    assert len(engine.stopped) == 3 and request.exit_status == 143

    untouched = _StubEngine()
    collected = collect(untouched, lambda job: {"trades": 1}, jobs, timeout=30, stop=request)
    assert untouched.submitted == [] and collected.unfinished == dict.fromkeys(range(4), "not run")


class _LosingEngine(_StubEngine):
    """Loses run 0 on its first `losses` submissions, as Dask does with KilledWorker."""

    def __init__(self, losses):
        super().__init__()
        self.losses = losses

    def submit(self, fn, run_fn, job):
        future: Future = Future()
        self.submitted.append(job["run"])
        if self.submitted.count(0) <= self.losses:
            future.set_exception(ConnectionError("lost with its worker"))
        else:
            future.set_result(execute_run(run_fn, job))
        return future

    def lost(self, exc):
        return isinstance(exc, ConnectionError)


@pytest.mark.parametrize(("losses", "error"), [(2, None), (5, "ConnectionError: lost with its worker")])
def test_a_run_the_engine_lost_is_submitted_again_a_few_times(losses, error):
    engine = _LosingEngine(losses)
    collected = collect(engine, lambda job: {"trades": 1}, build_plan("s", {"n": [0]}), timeout=30)
    assert engine.submitted == [0] * min(losses + 1, 3) and collected.outcomes[0]["error"] == error


def test_stop_signals_are_noted_then_a_second_one_interrupts_and_the_handlers_come_back():
    before = signal.getsignal(signal.SIGHUP)
    with stop_on_signals() as request:
        signal.raise_signal(signal.SIGHUP)
        assert request.signum == signal.SIGHUP and request.exit_status == 129
        with pytest.raises(KeyboardInterrupt):
            signal.raise_signal(signal.SIGTERM)
    assert signal.getsignal(signal.SIGHUP) is before
