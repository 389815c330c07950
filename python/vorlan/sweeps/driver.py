"""The driver of a sweep: runs on any ``concurrent.futures`` executor (a local
process pool by default, a Dask cluster or an MPI pool when given), each finished
run written to the results directory at once.

Nothing lost. A run that fails (a bad value, an unstable set-up) becomes a row
with status "failed" and its message; the other runs go on. A worker process
that dies is replaced and its runs are started again (Dask reschedules them by
itself; the default pool is rebuilt up to three times). Calling ``sweep`` again
with the same results directory reuses every run that finished ("ok") with the
same settings, seed and system description (a digest of the description and
its start file is kept with every run; a changed one is refused, naming the
run), starts the others, and returns the whole table. Ctrl-C cancels the runs
not started, stops the runs in flight at once (the workers of a pool made here,
by default or by ``executor_for``, ignore Ctrl-C and are terminated by the
driver) and keeps every run that finished, so the same call resumes. A sweep
in which every run failed raises SweepFailed naming the first failure (its
table attached). The directory's ``sweep.json`` lists the runs of the last
sweep, so that ``read_sweep`` leaves out summaries of another.

Each run uses one thread (``Simulation(threads=1)``), so on the same machine a
sweep repeated gives the same table to the last bit (the wall times aside).
"""

from __future__ import annotations

import concurrent.futures as cf
import concurrent.futures.process  # noqa: F401  (cf.process.BrokenProcessPool, also when a thread pool is given)
import contextlib
import multiprocessing
import os
import signal
import weakref
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Union

from .._optional import require
from ..progress import RunProgress
from . import worker
from .plan import Grid, plan
from .table import fingerprint, load_summaries, save_manifest, save_run, table

__all__ = ["sweep", "executor_for", "default_executor", "SweepFailed"]

# Times the default process pool is rebuilt after a worker process died.
POOL_RESTARTS = 3

# The process pools made here: their workers are ours to stop on Ctrl-C.
_OWN_POOLS: "weakref.WeakSet[cf.Executor]" = weakref.WeakSet()


class SweepFailed(RuntimeError):
    """Every run of a sweep failed; `table` holds their rows and messages."""

    def __init__(self, message: str, table: Any):
        super().__init__(message)
        self.table = table


def _ignore_interrupts() -> None:
    # A worker leaves Ctrl-C to the driver, which stops the pool as a whole
    # (the terminal sends SIGINT to every process of its foreground group).
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def default_executor(workers: Optional[int]) -> cf.ProcessPoolExecutor:
    """A process pool of `workers` processes (default: one per core)."""
    # A fresh interpreter per worker: forking a process that already runs threads
    # (OpenMP teams, a Dask client) can deadlock the child.
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")
    pool = cf.ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=_ignore_interrupts)
    _OWN_POOLS.add(pool)
    return pool


def sweep(
    base: Union[str, os.PathLike, Mapping[str, Any]],
    grid: Grid,
    *,
    steps: Optional[int] = None,
    replicas: int = 1,
    seed: int = 0,
    executor: Optional[cf.Executor] = None,
    results: Union[str, os.PathLike] = "sweep/",
    progress: bool = False,
    method: Any = None,
    barostat: Any = None,
    system: Any = None,
) -> Any:
    """Runs every point of `grid` over the settings `base`, `replicas` times
    each, and returns a pandas DataFrame with one row per run.

    base: a parameter file or a dict of key -> value. grid: a dict of key ->
    list of values (all combinations, the first key varying slowest) or a list
    of dicts (the points as given). steps: overrides nrsteps. seed: the sweep
    seed from which each run's seed follows (see ``run_seed``). executor: any
    ``concurrent.futures.Executor``, e.g. ``dask.distributed.Client(...)
    .get_executor()`` or ``mpi4py.futures.MPIPoolExecutor()``; by default a
    process pool with one worker per core, each run on one thread. results:
    the directory that receives each run's log and summary as soon as it ends,
    and from which a repeated call takes the finished runs. progress: show a
    progress bar over runs. method, barostat: the ensemble of every run
    (``vorlan.Bussi(0.5)``, ``vorlan.CRescale(pressure, tau)``, ...; default
    Berendsen at constant volume); with a barostat the grid may vary
    ``pressure`` (and ``compressibility``): an isobar or an isotherm of the
    density is one call, ``sweep(base, {"pressure": [...]}, method=...,
    barostat=...)``. Each run's seed also keys its random numbers.
    system: a system description (a TOML or JSON path, or
    ``vorlan.io.system.System``) every run starts from; grid keys "fraction.X"
    then vary the share of species X, e.g. ``{"fraction.B": [0.1, 0.2, 0.3]}``.

    Columns: the varied settings, replica, seed, status ("ok" or "failed"),
    message, wall_time (seconds), nrsteps, nr_particles, rho (N/V; with a
    barostat its mean over the second half) and rho_err, and T, u,
    P, e with their standard errors T_err, u_err, P_err, e_err (means over the
    second half of the run; errors by blocking).
    """
    require("pandas", extra="sweep", purpose="a sweep's table")  # before any run, not after all of them
    tasks, varied = plan(base, grid, steps, replicas, seed, method, barostat, system)
    results = os.fspath(results)
    os.makedirs(results, exist_ok=True)

    finished: Dict[str, Dict[str, Any]] = {}
    for s in load_summaries(results):
        finished[s["name"]] = s
    outcomes: Dict[str, Dict[str, Any]] = {}
    todo = []
    for task in tasks:
        old = finished.get(task["name"])
        if old is not None and old.get("ensemble", task["ensemble"]) != task["ensemble"]:
            raise ValueError(
                f"{results!r} holds another sweep: run {task['name']} ran {old['ensemble']}, now {task['ensemble']}; "
                "give a new results directory"
            )
        if old is not None and (old["parameters"] != task["parameters"] or old["seed"] != task["seed"]):
            changed = sorted(
                k
                for k in set(old["parameters"]) | set(task["parameters"])
                if old["parameters"].get(k) != task["parameters"].get(k)
            )
            what = ", ".join(f"{k} = {old['parameters'].get(k)} there, {task['parameters'].get(k)} now" for k in changed)
            raise ValueError(
                f"{results!r} holds another sweep: run {task['name']} was made with other settings "
                f"({what or 'seed ' + str(old['seed']) + ' there, ' + str(task['seed']) + ' now'}); "
                "give a new results directory"
            )
        if old is not None and old.get("inputs") != task["inputs"]:
            raise ValueError(
                f"{results!r} holds runs of another system: run {task['name']} started from a system description "
                f"(or start file) that has changed since; give a new results directory, or remove the old runs "
                "to run them again"
            )
        if old is not None and old["status"] == "ok":
            outcomes[task["name"]] = old
        else:
            todo.append(task)

    save_manifest(results, tasks)
    bar = RunProgress(len(tasks), len(tasks) - len(todo), progress)
    try:
        if todo:
            own = executor is None
            for summary in _execute(todo, executor, own, results):
                outcomes[summary["name"]] = summary
                bar.update(summary["name"], summary["status"])
    finally:
        bar.close()
    out = table([outcomes[t["name"]] for t in tasks], varied)
    if len(out) and (out["status"] != "ok").all():
        first = next(outcomes[t["name"]] for t in tasks)
        raise SweepFailed(f"every run of the sweep failed ({len(out)} of {len(out)}); the first, {first['name']}: "
                          f"{first['message']} (the rows are in {results!r} and in this error's table)", out)
    return out


def _lost(task: Mapping[str, Any], error: BaseException) -> Dict[str, Any]:
    summary = {k: task[k] for k in ("name", "point", "replica", "seed", "parameters", "varied", "ensemble", "inputs")}
    summary.update(status="failed", message=f"worker lost: {type(error).__name__}: {error}", wall_time=0.0)
    return summary


def _execute(tasks: List[Dict[str, Any]], executor: Optional[cf.Executor], own: bool, results: str):
    """Submits the tasks and yields each summary as its run finishes, after its
    files are written. A default pool whose worker died is rebuilt and the
    unfinished runs are submitted again."""
    restarts = 0
    pending = list(tasks)
    while pending:
        ex = executor if executor is not None and not own else default_executor(min(len(pending), os.cpu_count() or 1))
        futures = {ex.submit(worker.run_one, task): task for task in pending}
        pending = []
        saved = set()
        broken = False
        try:
            for future in cf.as_completed(futures):
                task = futures[future]
                try:
                    outcome = future.result()
                except cf.process.BrokenProcessPool as e:
                    if own and restarts < POOL_RESTARTS:
                        pending.append(task)
                        broken = True
                        continue
                    outcome = {"summary": _lost(task, e), "log": {}}
                except Exception as e:  # the executor gave up on this run (e.g. Dask's KilledWorker)
                    outcome = {"summary": _lost(task, e), "log": {}}
                save_run(results, outcome)
                saved.add(future)
                yield outcome["summary"]
        except BaseException:
            # Ctrl-C or a failure of the driver: runs not started are dropped, the
            # runs in flight of a pool made here are stopped at once (their results
            # would be lost anyway), and every run that finished is kept on disk
            for future in futures:
                future.cancel()
            _keep_finished(futures, saved, results)
            if own or ex in _OWN_POOLS:
                _stop_workers(ex)
            raise
        finally:
            if own:
                ex.shutdown(wait=not broken, cancel_futures=True)
        if broken:
            restarts += 1


@contextlib.contextmanager
def executor_for(scheduler: Optional[str] = None, workers: Optional[int] = None) -> Iterator[Optional[cf.Executor]]:
    """The executor of a sweep, shut down at the end of the block: the Dask
    scheduler at `scheduler`, else a process pool of `workers` processes, else
    None (the sweep's own default pool)."""
    if scheduler:
        distributed = require("dask.distributed", extra="sweep", purpose="a Dask scheduler")
        with distributed.Client(scheduler) as client:
            yield client.get_executor()
        return
    if workers is None:
        yield None
        return
    if workers < 1:
        raise ValueError(f"--workers {workers} is not allowed: give at least 1")
    executor = default_executor(workers)
    try:
        yield executor
    except BaseException:
        # Ctrl-C: the runs in flight are not waited for (the sweep kept the finished ones)
        _stop_workers(executor)
        executor.shutdown(wait=False, cancel_futures=True)
        raise
    executor.shutdown()


def _keep_finished(futures: Mapping[cf.Future, Mapping[str, Any]], saved: set, results: str) -> None:
    """Writes the runs that finished but were not yet taken from the executor."""
    for future, task in futures.items():
        if future in saved or not future.done() or future.cancelled():
            continue
        with contextlib.suppress(BaseException):
            outcome = future.result(timeout=0)
            if outcome["summary"].get("name") == task["name"]:
                save_run(results, outcome)


def _stop_workers(executor: cf.Executor) -> None:
    """Terminates the worker processes of a process pool (SIGTERM), so that a
    shutdown does not wait for the runs in flight."""
    processes = getattr(executor, "_processes", None) or {}
    for process in list(processes.values()):
        with contextlib.suppress(Exception):
            process.terminate()
