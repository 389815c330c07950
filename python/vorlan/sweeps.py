"""Many runs at once: a grid of settings times replicas, on any executor.

``sweep(base, grid, ...)`` expands a grid of settings over a base parameter set,
runs every combination ``replicas`` times on a ``concurrent.futures`` executor
(a local process pool by default, a Dask cluster or an MPI pool when given) and
returns one table row per run: the settings that vary, the replica and its seed,
the status, the wall time, and the means and standard errors over the second
half of the run of the temperature T, the potential energy per particle
u = epot/N, the pressure P and the total energy per particle e = etot/N.

Reproducibility. Run (point p, replica r) draws its initial velocities with the
seed 1 + w mod (2**31 - 2), w the 32-bit word
``SeedSequence(seed, spawn_key=(p, r)).generate_state(1)``: a function of the sweep seed and the run's place in the grid only: which worker
runs it and in what order does not change its numbers. Each run uses one thread
(``Simulation(threads=1)``), so on the same machine a sweep repeated gives the
same table to the last bit (the wall times aside).

Nothing lost. The driver writes each finished run to ``results/`` at once, the
log first (``<run>.npz``) and then its summary (``<run>.json``), each under a
temporary name that ``os.replace`` renames, so a summary on disk always belongs
to a complete log. A run that fails (a bad value, an unstable set-up) becomes a
row with status "failed" and its message; the other runs go on. A worker process
that dies is replaced and its runs are started again (Dask reschedules them by
itself; the default pool is rebuilt up to three times). Calling ``sweep`` again
with the same ``results/`` reuses every run that finished ("ok") with the same
settings and seed, starts the others, and returns the whole table.

Statistics. Over the second half of the run, T, u and e are sampled after every
step and P every ``pressure_every`` steps (by default about 200 samples). The
standard error of a mean is found by Flyvbjerg-Petersen blocking: the series is
halved by averaging neighbouring pairs as long as at least 16 blocks remain,
the naive standard error of the block means is taken at every level, and the
largest of these (the plateau that correlated samples reach) is reported.
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import contextlib
import itertools
import json
import math
import multiprocessing
import os
import re
import sys
import time
import warnings
from typing import Any, Dict, Iterator, Iterable, List, Mapping, Optional, Sequence, Union

import numpy as np

from ._atomic import replace_atomically

__all__ = ["sweep", "read_sweep", "average_replicas", "plot_sweep", "add_parser", "block_error"]

# One line of a parameter file, as the engine reads it: the whole line must match.
_LINE = re.compile(r"^\s*([a-zA-Z0-9_]+)\s*=\s*([0-9.]+)\s*$")

# Quantities averaged over the second half of every run, in table order.
OBSERVABLES = ("T", "u", "P", "e")

# Columns every row has besides the varied settings, in table order.
_RUN_COLUMNS = ("replica", "seed", "status", "message", "wall_time", "nrsteps", "nr_particles", "rho")

# Fewest blocks a blocking level may keep and still count towards the error.
_MIN_BLOCKS = 16

# Times the default process pool is rebuilt after a worker process died.
_POOL_RESTARTS = 3

# Seeds of the engine's generator are 1 .. 2**31 - 2.
_SEED_STATES = 2**31 - 2

# Pressure samples aimed at over the second half of a run.
_PRESSURE_SAMPLES = 200


# ----------------------------------------------------------------------------
# Settings: the base parameter set, the grid and the list of runs


def _read_parameter_file(path: Union[str, os.PathLike]) -> Dict[str, str]:
    """Key -> value text of a parameter file, read as the engine reads it:
    whole-line matches only, the first occurrence of a key wins."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError as e:
        raise FileNotFoundError(f"Cannot open parameter file {os.fspath(path)!r}: {e.strerror}") from None
    params: Dict[str, str] = {}
    for line in lines:
        m = _LINE.match(line)
        if m and m.group(1) not in params:
            params[m.group(1)] = m.group(2)
    return params


def _value_text(key: str, value: Any) -> str:
    """The text of a setting as the engine reads it: integers as digits, reals
    in positional notation (the parameter syntax has no exponents)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{key} = {value!r} is not allowed: settings are numbers")
    if isinstance(value, (int, np.integer)):
        return str(int(value))
    if isinstance(value, (float, np.floating)):
        if not math.isfinite(value):
            raise ValueError(f"{key} = {value!r} is not allowed: settings must be finite numbers")
        return np.format_float_positional(float(value), unique=True, trim="-")
    if isinstance(value, str):
        return value.strip()
    raise TypeError(f"{key} = {value!r} is not allowed: give a number or its text")


def _value_number(text: str) -> Union[int, float, str]:
    """A setting's text as the number a table column holds."""
    if re.fullmatch(r"[0-9]+", text):
        return int(text)
    try:
        return float(text)
    except ValueError:
        return text


def _known_keys() -> set:
    try:
        from . import _core

        return {rule[0] for rule in _core.setting_rules()}
    except (ImportError, AttributeError):
        return set()


def _grid_points(grid: Union[Mapping[str, Sequence[Any]], Sequence[Mapping[str, Any]]]) -> List[Dict[str, Any]]:
    """The grid as a list of {key: value}: all combinations of a dict of lists
    (the first key varying slowest), or a list of dicts as given."""
    if isinstance(grid, Mapping):
        keys = list(grid)
        values = []
        for key in keys:
            v = grid[key]
            if isinstance(v, (str, bytes)) or not isinstance(v, Iterable):
                raise TypeError(f"grid[{key!r}] = {v!r} is not allowed: give a list of values")
            v = list(v)
            if not v:
                raise ValueError(f"grid[{key!r}] is empty: give at least one value")
            values.append(v)
        return [dict(zip(keys, combo)) for combo in itertools.product(*values)]
    if isinstance(grid, (str, bytes)) or not isinstance(grid, Iterable):
        raise TypeError(f"grid = {grid!r} is not allowed: give a dict of key -> list of values, or a list of dicts")
    points = []
    for i, point in enumerate(grid):
        if not isinstance(point, Mapping):
            raise TypeError(f"grid[{i}] = {point!r} is not allowed: each point is a dict of key -> value")
        points.append(dict(point))
    if not points:
        raise ValueError("grid is empty: give at least one point")
    return points


def _run_name(point: int, replica: int) -> str:
    return f"p{point:04d}-r{replica:02d}"


def run_seed(seed: int, point: int, replica: int) -> int:
    """The seed of run (point, replica) of a sweep with seed `seed`: a 32-bit
    word of ``SeedSequence(seed, spawn_key=(point, replica))`` brought into the
    range 1 .. 2**31 - 2 of the engine's generator."""
    word = int(np.random.SeedSequence(seed, spawn_key=(point, replica)).generate_state(1, np.uint32)[0])
    return 1 + word % _SEED_STATES


def _plan(base, grid, steps, replicas, seed) -> tuple:
    """Every run of the sweep as a task dict, and the varied keys in order."""
    if isinstance(base, Mapping):
        base_params = {str(k): _value_text(str(k), v) for k, v in base.items()}
    elif isinstance(base, (str, os.PathLike)):
        base_params = _read_parameter_file(base)
    else:
        raise TypeError(f"base = {base!r} is not allowed: give a parameter file or a dict of settings")
    if isinstance(replicas, bool) or not isinstance(replicas, (int, np.integer)) or replicas < 1:
        raise ValueError(f"replicas = {replicas!r} is not allowed: give a whole number of at least 1")
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise ValueError(f"seed = {seed!r} is not allowed: give a whole number >= 0")
    points = _grid_points(grid)

    varied: List[str] = []
    for point in points:
        for key in point:
            if key not in varied:
                varied.append(key)
    known = set(base_params) | _known_keys()
    for key in varied:
        if not isinstance(key, str) or key not in known:
            raise KeyError(
                f"grid key {key!r} is not a setting: it is neither in the base parameters nor a known key "
                f"(keys are case-sensitive; the base has {', '.join(sorted(base_params))})"
            )
    if steps is not None:
        if "nrsteps" in varied:
            raise ValueError("steps and a grid over nrsteps contradict each other: give one of them")
        if isinstance(steps, bool) or not isinstance(steps, (int, np.integer)) or steps < 4:
            raise ValueError(f"steps = {steps!r} is not allowed: give a whole number of at least 4 (averages over the second half)")
        base_params["nrsteps"] = str(int(steps))

    tasks = []
    for p, point in enumerate(points):
        params = dict(base_params)
        params.update({key: _value_text(key, value) for key, value in point.items()})
        for r in range(int(replicas)):
            tasks.append(
                {
                    "name": _run_name(p, r),
                    "point": p,
                    "replica": r,
                    "seed": run_seed(int(seed), p, r),
                    "parameters": params,
                    "varied": {key: params[key] for key in varied},
                }
            )
    return tasks, varied


# ----------------------------------------------------------------------------
# Statistics


def block_error(x: Sequence[float]) -> float:
    """Standard error of the mean of a correlated series by Flyvbjerg-Petersen
    blocking: the largest naive standard error over the blocking levels that
    keep at least 16 blocks (the first level, the series itself, always counts)."""
    x = np.asarray(x, dtype=np.float64)
    if x.size < 2:
        raise ValueError(f"a standard error needs at least 2 samples, got {x.size}")
    best = 0.0
    while True:
        n = x.size
        best = max(best, float(np.sqrt(np.var(x, ddof=1) / n)))
        if n // 2 < _MIN_BLOCKS:
            return best
        x = 0.5 * (x[0 : 2 * (n // 2) : 2] + x[1 : 2 * (n // 2) : 2])


def _statistics(series: Mapping[str, np.ndarray]) -> Dict[str, float]:
    out: Dict[str, float] = {}
    for name in OBSERVABLES:
        x = series[name]
        out[name] = float(np.mean(x))
        out[name + "_err"] = block_error(x)
    return out


# ----------------------------------------------------------------------------
# One run, on a worker


def _first_bad(values: np.ndarray, steps: np.ndarray) -> Optional[int]:
    bad = np.flatnonzero(~np.isfinite(values))
    return int(steps[bad[0]]) if bad.size else None


def _run_one(task: Mapping[str, Any]) -> Dict[str, Any]:
    """Runs one simulation of the sweep and returns its summary and log.
    Never raises for a failing simulation: the summary then says "failed"."""
    from .simulation import Simulation

    summary: Dict[str, Any] = {k: task[k] for k in ("name", "point", "replica", "seed", "parameters", "varied")}
    summary.update(status="failed", message="", wall_time=0.0)
    log: Dict[str, np.ndarray] = {}
    start = time.perf_counter()
    try:
        params = task["parameters"]
        nrsteps = int(params["nrsteps"])
        if nrsteps < 4:
            raise ValueError(f"nrsteps = {nrsteps} is too few: the averages over the second half need at least 4 steps")
        half = nrsteps // 2
        every = max(1, -(-half // _PRESSURE_SAMPLES))
        sim = Simulation(params, seed=task["seed"], threads=1)
        n = sim.nr_particles
        if n < 2:
            raise ValueError(f"nr_particles = {n} is not allowed in a sweep: the temperature needs at least 2 particles")
        summary["nr_particles"] = n
        summary["rho"] = n / sim.volume
        sim.run(nrsteps - half)
        # Second half: pressure every `every` steps (the virial comes with the forces).
        p_step, p_value = [], []
        done = 0
        while done < half:
            k = min(every, half - done)
            sim.run(k)
            done += k
            p_step.append(sim.step)
            p_value.append(sim.pressure)
        log = {key: np.asarray(value) for key, value in sim.log.items()}
        log["pressure_step"] = np.asarray(p_step, dtype=np.int64)
        log["pressure"] = np.asarray(p_value, dtype=np.float64)
        steps = log["step"][-half:]
        series = {
            "T": log["temperature"][-half:],
            "u": log["epot"][-half:] / n,
            "e": log["etot"][-half:] / n,
            "P": log["pressure"],
        }
        for name, values in series.items():
            bad = _first_bad(values, log["pressure_step"] if name == "P" else steps)
            if bad is not None:
                raise ArithmeticError(f"the run became unstable: {name} is not finite at step {bad}")
        summary.update(_statistics(series))
        summary["status"] = "ok"
    except Exception as e:  # the sweep goes on; the row carries the message
        summary["message"] = f"{type(e).__name__}: {e}"
    summary["wall_time"] = time.perf_counter() - start
    return {"summary": summary, "log": log}


# ----------------------------------------------------------------------------
# Results on disk


def _save_run(results: str, outcome: Mapping[str, Any]) -> None:
    summary = outcome["summary"]
    base = os.path.join(results, summary["name"])
    if outcome["log"]:
        with replace_atomically(base + ".npz") as tmp, open(tmp, "wb") as f:
            np.savez(f, **outcome["log"])
    with replace_atomically(base + ".json") as tmp, open(tmp, "w", encoding="utf-8") as f:
        json.dump(summary, f, indent=1, allow_nan=False)
        f.write("\n")


def _load_summaries(results: str) -> List[Dict[str, Any]]:
    summaries = []
    for name in sorted(os.listdir(results)):
        if re.fullmatch(r"p\d+-r\d+\.json", name):
            with open(os.path.join(results, name), encoding="utf-8") as f:
                summaries.append(json.load(f))
    return summaries


def _table(summaries: Sequence[Mapping[str, Any]], varied: Sequence[str]):
    import pandas as pd

    rows = []
    for s in sorted(summaries, key=lambda s: (s["point"], s["replica"])):
        row: Dict[str, Any] = {key: _value_number(s["varied"][key]) if key in s["varied"] else None for key in varied}
        row.update(
            replica=s["replica"],
            seed=s["seed"],
            status=s["status"],
            message=s["message"],
            wall_time=s["wall_time"],
            nrsteps=int(s["parameters"]["nrsteps"]),
            nr_particles=s.get("nr_particles"),
            rho=s.get("rho"),
        )
        for name in OBSERVABLES:
            row[name] = s.get(name)
            row[name + "_err"] = s.get(name + "_err")
        rows.append(row)
    columns = list(varied) + list(_RUN_COLUMNS) + [c for name in OBSERVABLES for c in (name, name + "_err")]
    table = pd.DataFrame(rows, columns=columns)
    for c in ["rho"] + [c for name in OBSERVABLES for c in (name, name + "_err")]:
        table[c] = table[c].astype(float)
    table["nr_particles"] = table["nr_particles"].astype("Int64")
    return table


def read_sweep(results: Union[str, os.PathLike] = "sweep/"):
    """The table of the runs recorded in a results directory (as ``sweep``
    returns it), read from their summaries."""
    results = os.fspath(results)
    if not os.path.isdir(results):
        raise FileNotFoundError(f"No sweep results in {results!r}: the directory does not exist")
    summaries = _load_summaries(results)
    if not summaries:
        raise FileNotFoundError(f"No sweep results in {results!r}: no run summaries (p0000-r00.json, ...) found")
    varied: List[str] = []
    for s in sorted(summaries, key=lambda s: (s["point"], s["replica"])):
        for key in s["varied"]:
            if key not in varied:
                varied.append(key)
    return _table(summaries, varied)


# ----------------------------------------------------------------------------
# The sweep


class _Progress:
    """A progress bar over runs: tqdm when installed, else one line per run."""

    def __init__(self, total: int, done: int, enabled: bool):
        self.bar = None
        self.enabled = enabled
        self.total, self.done = total, done
        if enabled:
            try:
                from tqdm.auto import tqdm

                self.bar = tqdm(total=total, initial=done, unit="run", desc="sweep")
            except ImportError:
                pass

    def update(self, summary: Mapping[str, Any]) -> None:
        self.done += 1
        if self.bar is not None:
            self.bar.update(1)
        elif self.enabled:
            print(f"sweep: {self.done}/{self.total} {summary['name']} {summary['status']}", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _default_executor(workers: Optional[int]) -> cf.Executor:
    # A fresh interpreter per worker: forking a process that already runs threads
    # (OpenMP teams, a Dask client) can deadlock the child.
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")
    return cf.ProcessPoolExecutor(max_workers=workers, mp_context=context)


def sweep(
    base: Union[str, os.PathLike, Mapping[str, Any]],
    grid: Union[Mapping[str, Sequence[Any]], Sequence[Mapping[str, Any]]],
    *,
    steps: Optional[int] = None,
    replicas: int = 1,
    seed: int = 0,
    executor: Optional[cf.Executor] = None,
    results: Union[str, os.PathLike] = "sweep/",
    progress: bool = False,
):
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
    progress bar over runs.

    Columns: the varied settings, replica, seed, status ("ok" or "failed"),
    message, wall_time (seconds), nrsteps, nr_particles, rho (N/V), and T, u,
    P, e with their standard errors T_err, u_err, P_err, e_err (means over the
    second half of the run; errors by blocking).
    """
    tasks, varied = _plan(base, grid, steps, replicas, seed)
    results = os.fspath(results)
    os.makedirs(results, exist_ok=True)

    finished: Dict[str, Dict[str, Any]] = {}
    for s in _load_summaries(results):
        finished[s["name"]] = s
    outcomes: Dict[str, Dict[str, Any]] = {}
    todo = []
    for task in tasks:
        old = finished.get(task["name"])
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
        if old is not None and old["status"] == "ok":
            outcomes[task["name"]] = old
        else:
            todo.append(task)

    bar = _Progress(len(tasks), len(tasks) - len(todo), progress)
    try:
        if todo:
            own = executor is None
            for summary in _execute(todo, executor, own, results):
                outcomes[summary["name"]] = summary
                bar.update(summary)
    finally:
        bar.close()
    return _table([outcomes[t["name"]] for t in tasks], varied)


def _lost(task: Mapping[str, Any], error: BaseException) -> Dict[str, Any]:
    summary = {k: task[k] for k in ("name", "point", "replica", "seed", "parameters", "varied")}
    summary.update(status="failed", message=f"worker lost: {type(error).__name__}: {error}", wall_time=0.0)
    return summary


def _execute(tasks: List[Dict[str, Any]], executor: Optional[cf.Executor], own: bool, results: str):
    """Submits the tasks and yields each summary as its run finishes, after its
    files are written. A default pool whose worker died is rebuilt and the
    unfinished runs are submitted again."""
    restarts = 0
    pending = list(tasks)
    while pending:
        ex = executor if not own else _default_executor(min(len(pending), os.cpu_count() or 1))
        futures = {ex.submit(_run_one, task): task for task in pending}
        pending = []
        broken = False
        try:
            for future in cf.as_completed(futures):
                task = futures[future]
                try:
                    outcome = future.result()
                except cf.process.BrokenProcessPool as e:
                    if own and restarts < _POOL_RESTARTS:
                        pending.append(task)
                        broken = True
                        continue
                    outcome = {"summary": _lost(task, e), "log": {}}
                except Exception as e:  # the executor gave up on this run (e.g. Dask's KilledWorker)
                    outcome = {"summary": _lost(task, e), "log": {}}
                _save_run(results, outcome)
                yield outcome["summary"]
        except BaseException:
            for future in futures:
                future.cancel()
            raise
        finally:
            if own:
                ex.shutdown(wait=not broken, cancel_futures=True)
        if broken:
            restarts += 1


# ----------------------------------------------------------------------------
# Replicas, plots and the command line


def average_replicas(table):
    """One row per grid point: the mean over its finished replicas of T, u, P
    and e, with the standard error of that mean from the runs' own errors
    (sqrt(sum err^2) / n, the replicas being independent), and the number n of
    replicas that finished."""
    import pandas as pd

    ok = table[table["status"] == "ok"]
    keys = [c for c in table.columns if c not in _RUN_COLUMNS and c not in OBSERVABLES and not c.endswith("_err")]
    rows = []
    groups = ok.groupby(keys, sort=False, dropna=False) if keys else [((), ok)]
    for key, group in groups:
        key = key if isinstance(key, tuple) else (key,)
        row = dict(zip(keys, key))
        row["replicas"] = len(group)
        row["rho"] = float(group["rho"].mean())
        for name in OBSERVABLES:
            row[name] = float(group[name].mean())
            row[name + "_err"] = float(np.sqrt(np.sum(group[name + "_err"] ** 2)) / len(group))
        rows.append(row)
    return pd.DataFrame(rows, columns=keys + ["replicas", "rho"] + [c for n in OBSERVABLES for c in (n, n + "_err")])


def plot_sweep(results_dir: Union[str, os.PathLike], out_png: Union[str, os.PathLike], *, reference=None) -> str:
    """Draws u and P (replica means with error bars) against the varied
    setting of the sweep in `results_dir` and saves the figure to `out_png`.
    The density rho = N/V stands in for cell_length or nr_particles. With more
    than one varied setting, the first is the abscissa and the others label the
    curves. `reference`: optional {"rho" or key: [...], "u": [...], "P": [...],
    "label": text} drawn as open squares (published values, say). Returns the path written."""
    with warnings.catch_warnings():
        # Some matplotlib releases call pyparsing names that newer pyparsing deprecates.
        warnings.filterwarnings("ignore", category=DeprecationWarning, module=r"(matplotlib|pyparsing)(\.|$)")
        return _plot_sweep(results_dir, out_png, reference)


def _plot_sweep(results_dir, out_png, reference) -> str:
    try:
        # A Figure of its own, not pyplot: the caller's backend and figures stay as they are.
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("plot_sweep needs matplotlib: pip install 'vorlan[plot]'") from None
    table = read_sweep(results_dir)
    mean = average_replicas(table)
    if mean.empty:
        raise ValueError(f"No finished runs in {os.fspath(results_dir)!r} to plot: every run failed")
    varied = [c for c in mean.columns if c not in ("replicas", "rho") and c not in OBSERVABLES and not c.endswith("_err")]
    x = varied[0] if varied else "rho"
    others = varied[1:]
    if x in ("cell_length", "nr_particles"):
        x = "rho"
    fig = Figure(figsize=(9, 3.6), constrained_layout=True)
    axes = fig.subplots(1, 2)
    curves = mean.groupby(others, sort=False) if others else [((), mean)]
    for key, group in curves:
        key = key if isinstance(key, tuple) else (key,)
        label = ", ".join(f"{k} = {v}" for k, v in zip(others, key)) or None
        group = group.sort_values(x)
        for ax, name in zip(axes, ("u", "P")):
            ax.errorbar(group[x], group[name], yerr=group[name + "_err"], marker="o", ms=4, capsize=2, label=label)
    if reference is not None:
        for ax, name in zip(axes, ("u", "P")):
            ax.plot(reference[x], reference[name], "s", mfc="none", mec="k", ms=8,
                    label=reference.get("label", "reference"))
    symbols = {"rho": "density ρ", "kT": "kT"}
    for ax, name in zip(axes, ("potential energy per particle u", "pressure P")):
        ax.set_xlabel(symbols.get(x, x))
        ax.set_ylabel(name)
        if others or reference is not None:
            ax.legend(fontsize="small")
    out_png = os.fspath(out_png)
    fig.savefig(out_png, dpi=120)
    return out_png


def _parse_set(text: str) -> tuple:
    key, sep, values = text.partition("=")
    key = key.strip()
    if not sep or not key or not values.strip():
        raise argparse.ArgumentTypeError(f"--set {text!r} is not allowed: write KEY=V1,V2,... (e.g. kT=1.0,1.5)")
    items = [v.strip() for v in values.split(",")]
    if any(not v for v in items):
        raise argparse.ArgumentTypeError(f"--set {text!r} has an empty value: write KEY=V1,V2,...")
    return key, items


def add_parser(subparsers) -> argparse.ArgumentParser:
    """Registers `vorlan sweep` with an argparse subparsers object."""
    p = subparsers.add_parser(
        "sweep",
        help="run a grid of settings with replicas in parallel",
        description="Runs every combination of the --set values over a base parameter file, "
        "each --replicas times, on a local process pool or a Dask cluster. Each finished run "
        "is written to --out at once; running the same command again skips finished runs.",
    )
    p.add_argument("base", help="base parameter file")
    p.add_argument("--set", dest="sets", metavar="KEY=V1,V2,...", type=_parse_set, action="append", default=[],
                   help="values of one setting (repeat for more settings; all combinations run)")
    p.add_argument("--replicas", type=int, default=1, help="independent runs per point (default 1)")
    p.add_argument("--seed", type=int, default=0, help="sweep seed, from which every run's seed follows (default 0)")
    p.add_argument("--steps", type=int, default=None, help="number of steps (overrides nrsteps)")
    p.add_argument("--scheduler", metavar="ADDRESS", default=None,
                   help="address of a Dask scheduler (tcp://host:8786); default: a local process pool")
    p.add_argument("--workers", type=int, default=None, help="processes of the local pool (default: one per core)")
    p.add_argument("--out", default="sweep/", help="results directory (default sweep/)")
    p.set_defaults(func=_main)
    return p


def _main(args) -> int:
    """`vorlan sweep`: exit status 0 when every run finished, 1 when some run
    failed or the sweep could not start (the message says why)."""
    try:
        return _command(args)
    except (ValueError, KeyError, TypeError, OSError, ImportError) as e:
        text = e.args[0] if isinstance(e, KeyError) and e.args else e
        print(f"vorlan sweep: error: {text}", file=sys.stderr)
        return 1


@contextlib.contextmanager
def executor_for(scheduler: Optional[str] = None, workers: Optional[int] = None) -> Iterator[Optional[cf.Executor]]:
    """The executor of a sweep, shut down at the end of the block: the Dask
    scheduler at `scheduler`, else a process pool of `workers` processes, else
    None (the sweep's own default pool)."""
    if scheduler:
        try:
            from dask.distributed import Client
        except ImportError:
            raise ImportError("--scheduler needs Dask: pip install 'vorlan[sweep]'") from None
        with Client(scheduler) as client:
            yield client.get_executor()
        return
    if workers is None:
        yield None
        return
    if workers < 1:
        raise ValueError(f"--workers {workers} is not allowed: give at least 1")
    executor = _default_executor(workers)
    try:
        yield executor
    finally:
        executor.shutdown()


def _command(args) -> int:
    grid: Dict[str, List[str]] = {}
    for key, values in args.sets:
        if key in grid:
            raise ValueError(f"--set {key}=... is given twice: list all its values in one --set")
        grid[key] = values
    if not grid:
        grid_points: Union[Dict[str, List[str]], List[Dict[str, str]]] = [{}]
    else:
        grid_points = grid
    with executor_for(args.scheduler, args.workers) as executor:
        table = sweep(args.base, grid_points, steps=args.steps, replicas=args.replicas, seed=args.seed,
                      executor=executor, results=args.out, progress=True)
    import pandas as pd

    with pd.option_context("display.width", 200, "display.max_columns", 30):
        print(table.drop(columns=["message"]).to_string(index=False))
    failed = table[table["status"] != "ok"]
    for _, row in failed.iterrows():
        print(f"failed: replica {row['replica']} " + " ".join(f"{k}={row[k]}" for k in grid) + f": {row['message']}",
              file=sys.stderr)
    print(f"{len(table) - len(failed)} of {len(table)} runs finished; results in {args.out}", file=sys.stderr)
    return 1 if len(failed) else 0
