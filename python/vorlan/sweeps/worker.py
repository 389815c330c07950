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
from typing import Any, Dict, Mapping, Optional

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


def run_one(task: Mapping[str, Any]) -> Dict[str, Any]:
    """Runs one simulation of the sweep and returns its summary and log.
    Never raises for a failing simulation: the summary then says "failed"."""
    from ..simulation import Simulation

    summary: Dict[str, Any] = {k: task[k] for k in ("name", "point", "replica", "seed", "parameters", "varied")}
    summary["ensemble"] = task.get("ensemble", "")
    summary.update(status="failed", message="", wall_time=0.0)
    log: Dict[str, np.ndarray] = {}
    start = time.perf_counter()
    try:
        params = task["parameters"]
        nrsteps = int(settings.setting_value(params, "nrsteps"))
        if nrsteps < 4:
            raise ValueError(f"nrsteps = {nrsteps} is too few: the averages over the second half need at least 4 steps")
        half = nrsteps // 2
        every = max(1, -(-half // PRESSURE_SAMPLES))
        barostat = task.get("barostat")
        with warnings.catch_warnings():  # the plan has told of unknown keys once
            warnings.simplefilter("ignore", settings.UnknownSettingWarning)
            sim = Simulation(params, seed=task["seed"], threads=1, method=task.get("method"), barostat=barostat)
        n = sim.nr_particles
        if n < 2:
            raise ValueError(f"nr_particles = {n} is not allowed in a sweep: the temperature needs at least 2 particles")
        summary["nr_particles"] = n
        summary["rho"] = n / sim.volume
        summary["rho_err"] = 0.0
        sim.run(nrsteps - half)
        if barostat is None:
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
        else:
            # the barostat logs the pressure and the volume of every step
            sim.run(half)
            log = {key: np.asarray(value) for key, value in sim.log.items()}
            log["pressure_step"] = log["step"][-half:]
            log["pressure"] = log["pressure"][-half:]
            rho = n / log["volume"][-half:]
            summary["rho"], summary["rho_err"] = float(np.mean(rho)), block_error(rho)
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
