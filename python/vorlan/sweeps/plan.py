"""The runs of a sweep: the base settings, the grid of points, the replicas and
the seed of every run.

Run (point p, replica r) draws its initial velocities with the seed
1 + w mod (2**31 - 2), w the 32-bit word
``SeedSequence(seed, spawn_key=(p, r)).generate_state(1)``: a function of the
sweep seed and the run's place in the grid only, so which worker runs it and in
what order does not change its numbers. The same seed keys the random numbers
of a stochastic method or barostat.
"""

from __future__ import annotations

import itertools
import os
from typing import Any, Dict, Iterable, List, Mapping, Sequence, Tuple, Union

import numpy as np

from .. import params as settings
from ..io.parameter_file import read_params
from ..methods import Berendsen, CRescale, check

__all__ = ["plan", "run_seed", "grid_points", "run_name"]

# Seeds of the engine's generator are 1 .. 2**31 - 2.
SEED_STATES = 2**31 - 2

Grid = Union[Mapping[str, Sequence[Any]], Sequence[Mapping[str, Any]]]


def grid_points(grid: Grid) -> List[Dict[str, Any]]:
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


def run_name(point: int, replica: int) -> str:
    return f"p{point:04d}-r{replica:02d}"


def run_seed(seed: int, point: int, replica: int) -> int:
    """The seed of run (point, replica) of a sweep with seed `seed`: a 32-bit
    word of ``SeedSequence(seed, spawn_key=(point, replica))`` brought into the
    range 1 .. 2**31 - 2 of the engine's generator."""
    word = int(np.random.SeedSequence(seed, spawn_key=(point, replica)).generate_state(1, np.uint32)[0])
    return 1 + word % SEED_STATES


# Grid keys that set the barostat's parameters rather than a setting.
BAROSTAT_KEYS = ("pressure", "compressibility")
# Grid keys "fraction.B" vary the share of species B of the sweep's system.
FRACTION = "fraction."
# Grid keys "pair.NAME" vary a parameter of every pair of the system's potential,
# "pair.A-B.NAME" that of the pair of species A and B.
PAIR = "pair."


def plan(base: Any, grid: Grid, steps: Any, replicas: Any, seed: Any, method: Any = None,
         barostat: Any = None, system: Any = None) -> Tuple[List[Dict[str, Any]], List[str]]:
    """Every run of the sweep as a task dict, and the varied keys in order.
    With a barostat, the grid keys pressure and compressibility set its
    parameters point by point. `system`: a system description (path or
    ``vorlan.io.system.System``) every run starts from; grid keys "fraction.X"
    then vary the share of species X (the other species share the rest in
    their proportions), and "pair.NAME" or "pair.A-B.NAME" a parameter of its
    pair potential (of every pair given, or of the pair of A and B)."""
    if system is not None and not hasattr(system, "arguments"):
        from ..io.system import read_system

        system = read_system(system)
    inputs = None if system is None else system.digest()
    if barostat is None and system is not None:
        barostat = system.barostat  # the description's [barostat], unless the sweep gives one
    base_params = _base_settings(base)
    if isinstance(replicas, bool) or not isinstance(replicas, (int, np.integer)) or replicas < 1:
        raise ValueError(f"replicas = {replicas!r} is not allowed: give a whole number of at least 1")
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise ValueError(f"seed = {seed!r} is not allowed: give a whole number >= 0")
    points = grid_points(grid)
    varied = _varied_keys(points, base_params, barostat, system)
    if steps is not None:
        if "nrsteps" in varied:
            raise ValueError("steps and a grid over nrsteps contradict each other: give one of them")
        if isinstance(steps, bool) or not isinstance(steps, (int, np.integer)) or steps < 4:
            raise ValueError(f"steps = {steps!r} is not allowed: give a whole number of at least 4 (averages over the second half)")
        base_params["nrsteps"] = str(int(steps))

    method = Berendsen() if method is None else method
    tasks = []
    for p, point in enumerate(points):
        params = dict(base_params)
        shares = {k[len(FRACTION):]: float(v) for k, v in point.items() if k.startswith(FRACTION)}
        pair_values = {k: float(v) for k, v in point.items() if k.startswith(PAIR)}
        engine_keys = {k: v for k, v in point.items()
                       if k not in BAROSTAT_KEYS and not k.startswith(FRACTION) and not k.startswith(PAIR)}
        params.update(settings.settings_text(engine_keys, stacklevel=3))
        # the shares and pair parameters travel with the settings, so that a resumed sweep sees them
        params.update({FRACTION + k: repr(v) for k, v in shares.items()})
        params.update({k: repr(v) for k, v in pair_values.items()})
        point_system = None if system is None else system.with_fractions(shares)
        for key, value in pair_values.items():
            if point_system is not None:  # _varied_keys refused pair keys without one
                point_system = point_system.with_pair_parameter(key[len(PAIR):], value)
        point_barostat = _point_barostat(barostat, point)
        check(method, point_barostat, 1)
        shown = {**params, **{k: repr(float(point[k])) for k in BAROSTAT_KEYS if k in point}}
        for r in range(int(replicas)):
            tasks.append(
                {
                    "name": run_name(p, r),
                    "point": p,
                    "replica": r,
                    "seed": run_seed(int(seed), p, r),
                    "parameters": params,
                    "varied": {key: shown[key] for key in varied},
                    "method": method,
                    "barostat": point_barostat,
                    "ensemble": repr(method) + ("" if point_barostat is None else " + " + repr(point_barostat)),
                    "system": point_system,
                    "inputs": inputs,  # digest of the system description and its start file
                }
            )
    return tasks, varied


def _base_settings(base: Any) -> Dict[str, str]:
    """The sweep's base settings as key -> value text, from a parameter file or a
    mapping (a warning about an unknown key points at the caller of sweep())."""
    if isinstance(base, Mapping):
        return settings.settings_text({str(k): v for k, v in base.items()}, stacklevel=4)
    if isinstance(base, (str, os.PathLike)):
        return read_params(base)
    raise TypeError(f"base = {base!r} is not allowed: give a parameter file or a dict of settings")


def _varied_keys(points: List[Dict[str, Any]], base_params: Mapping[str, str], barostat: Any,
                 system: Any) -> List[str]:
    """The grid's keys in order of first appearance, each a setting of the base or
    the engine, a barostat parameter (with a barostat) or a species' share
    "fraction.X" (with a system); KeyError naming a key that is none of these."""
    varied: List[str] = []
    for point in points:
        for key in point:
            if key not in varied:
                varied.append(key)
    known = set(base_params) | set(settings.KEYS) | (set(BAROSTAT_KEYS) if barostat is not None else set())
    if system is not None:
        known |= {FRACTION + name for name in system.species}
    for key in varied:
        if isinstance(key, str) and key.startswith(PAIR):
            if system is None or system.pairs is None:
                raise KeyError(f"grid key {key!r} varies a pair potential: give a system description with its "
                               "[pair] (system=...)")
            known.add(key)
        if isinstance(key, str) and key.startswith(FRACTION) and system is None:
            raise KeyError(f"grid key {key!r} varies a composition: give the system description too (system=...)")
        if isinstance(key, str) and key in BAROSTAT_KEYS and barostat is None:
            raise KeyError(f"grid key {key!r} sets the barostat's {key}: give barostat=vorlan.CRescale(...) too")
        if not isinstance(key, str) or key not in known:
            raise KeyError(
                f"grid key {key!r} is not a setting: it is neither in the base parameters nor a known key "
                f"(keys are case-sensitive; the base has {', '.join(sorted(base_params))})"
            )
    return varied


def _point_barostat(barostat: Any, point: Mapping[str, Any]) -> Any:
    """The barostat of one grid point: the sweep's, with the point's pressure and
    compressibility where the grid sets them."""
    if barostat is None or not any(k in point for k in BAROSTAT_KEYS):
        return barostat
    given = {"pressure": barostat.pressure, "tau": barostat.tau, "compressibility": barostat.compressibility,
             "couple": barostat.couple}
    given.update({k: float(point[k]) for k in BAROSTAT_KEYS if k in point})
    return CRescale(**given)

