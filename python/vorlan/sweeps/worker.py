"""One run of a sweep, on a worker: the simulation and the averages over the
second half of the run with their blocking errors (``vorlan.analysis``).

Over the second half, T, u = epot/N and e = etot/N are sampled after every step
and P every ``pressure_every`` steps (about 200 samples); with a barostat P and
the density rho = N/V after every step (the barostat measures the pressure
anyway).
"""

from __future__ import annotations

import time
import warnings
from typing import Any, Dict, Mapping, Optional, Tuple

import numpy as np

from .. import params as settings
from ..analysis import OBSERVABLES, block_error

__all__ = ["run_one"]

# Pressure samples aimed at over the second half of a run.
PRESSURE_SAMPLES = 200


def _statistics(series: Mapping[str, np.ndarray]) -> Dict[str, float]:
    out: Dict[str, float] = {}
    for name in OBSERVABLES:
        x = series[name]
        out[name] = float(np.mean(x))
        out[name + "_err"] = block_error(x)
    return out


def _first_bad(values: np.ndarray, steps: np.ndarray) -> Optional[int]:
    bad = np.flatnonzero(~np.isfinite(values))
    return int(steps[bad[0]]) if bad.size else None


def _simulation(task: Mapping[str, Any]) -> Tuple[Any, int]:
    """The Simulation of a task (one thread, the task's seed, method, barostat and
    mixture) and its nrsteps; ValueError for a run too short to average over or
    too small to have a temperature."""
    from ..simulation import Simulation

    params = {k: v for k, v in task["parameters"].items() if not k.startswith(("fraction.", "pair."))}
    nrsteps = int(settings.setting_value(params, "nrsteps"))
    if nrsteps < 4:
        raise ValueError(f"nrsteps = {nrsteps} is too few: the averages over the second half need at least 4 steps")
    system = task.get("system")
    mixture = system.arguments(int(settings.setting_value(params, "nr_particles"))) if system else {}
    with warnings.catch_warnings():  # the plan has told of unknown keys once
        warnings.simplefilter("ignore", settings.UnknownSettingWarning)
        sim = Simulation(params, seed=task["seed"], threads=1, method=task.get("method"), barostat=task.get("barostat"),
                         **mixture)
    if sim.nr_particles < 2:
        raise ValueError(f"nr_particles = {sim.nr_particles} is not allowed in a sweep: the temperature needs at "
                         "least 2 particles")
    return sim, nrsteps


def _second_half(sim: Any, half: int, barostat: bool, summary: Dict[str, Any]) -> Dict[str, np.ndarray]:
    """Runs the second half (`half` steps) and returns the whole log with the
    pressure samples of the second half (pressure_step, pressure): every few
    steps at constant volume (the virial comes with the forces), every step
    with a barostat, which also gives the density and its error to `summary`."""
    if not barostat:
        every = max(1, -(-half // PRESSURE_SAMPLES))
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
        return log
    sim.run(half)
    log = {key: np.asarray(value) for key, value in sim.log.items()}
    log["pressure_step"] = log["step"][-half:]
    log["pressure"] = log["pressure"][-half:]
    rho = sim.nr_particles / log["volume"][-half:]
    summary["rho"], summary["rho_err"] = float(np.mean(rho)), block_error(rho)
    return log


def run_one(task: Mapping[str, Any]) -> Dict[str, Any]:
    """Runs one simulation of the sweep and returns its summary and log.
    Never raises for a failing simulation: the summary then says "failed"."""
    summary: Dict[str, Any] = {k: task[k] for k in ("name", "point", "replica", "seed", "parameters", "varied")}
    summary["ensemble"] = task.get("ensemble", "")
    summary["inputs"] = task.get("inputs")
    summary.update(status="failed", message="", wall_time=0.0)
    log: Dict[str, np.ndarray] = {}
    start = time.perf_counter()
    try:
        sim, nrsteps = _simulation(task)
        n = sim.nr_particles
        summary["nr_particles"] = n
        summary["rho"] = n / sim.volume
        summary["rho_err"] = 0.0
        half = nrsteps // 2
        sim.run(nrsteps - half)
        log = _second_half(sim, half, task.get("barostat") is not None, summary)
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
