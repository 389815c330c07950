"""Checkpoints of a Simulation: NumPy ``.npz`` files holding everything the next
steps depend on, so that a simulation saved at step k and loaded continues bit
for bit as an unbroken run.

Arrays: ``format`` (the layout version), ``step``, ``time_base`` (step and time at
which the current stepsize took over), ``seed`` (-1: the process-wide sequence),
``parameter_keys`` and ``parameter_values`` (the settings as text), the Cell's
state (positions, velocities, forces, dij_list, neighbor_list, images,
positions_initial, velocities_initial, the energies epot, ekin, etot, the
virial of the forces, and the
box now and at the list build, box and list_box), the integration method
(method, method_parameter_names and _values, method_state: chain variables,
work; barostat_parameter_names and _values, barostat_work when a barostat runs)
and the log (log_ekin, log_epot, log_etot, log_conserved, log_volume,
log_pressure).
"""

from __future__ import annotations

import os
from typing import Any, Dict, Mapping, Optional, Tuple

import numpy as np

from .. import _core
from .atomic import replace_atomically

__all__ = ["FORMAT", "arrays", "restore", "write", "read"]

FORMAT = 1  # version of the checkpoint layout

STATE_ARRAYS = (
    "positions",
    "velocities",
    "forces",
    "dij_list",
    "neighbor_list",
    "images",
    "positions_initial",
    "velocities_initial",
)


def arrays(engine: Any, seed: Optional[int], time_base: Tuple[int, float]) -> Dict[str, Any]:
    """The checkpoint of `engine` (a vorlan._core.Engine) as a dict of arrays."""
    out: Dict[str, Any] = dict(engine.state())
    params = engine.parameters
    keys = sorted(params)
    ekin, epot, etot = engine.log()
    out.update(
        format=np.int64(FORMAT),
        step=np.int64(engine.step),
        time_base=np.array(time_base, dtype=np.float64),
        seed=np.int64(-1 if seed is None else seed),
        parameter_keys=np.array(keys, dtype=str),
        parameter_values=np.array([params[k] for k in keys], dtype=str),
        log_ekin=ekin,
        log_epot=epot,
        log_etot=etot,
    )
    for key, values in engine.log_extras().items():
        out["log_" + key] = values
    return out


def restore(data: Mapping[str, Any], team: int) -> Tuple[Any, Optional[int], Tuple[int, float]]:
    """(engine, seed, time_base) from a checkpoint's arrays; `team` the team size
    (0: the runtime default)."""
    missing = [k for k in (*STATE_ARRAYS, "step", "parameter_keys", "log_ekin") if k not in data]
    if missing:
        raise ValueError(f"the checkpoint has no entry {missing[0]!r}")
    params = dict(zip(np.asarray(data["parameter_keys"]).tolist(), np.asarray(data["parameter_values"]).tolist()))
    state: Dict[str, Any] = {}
    for key in STATE_ARRAYS:
        dtype = np.uint32 if key == "neighbor_list" else np.int32 if key == "images" else np.float64
        state[key] = np.ascontiguousarray(data[key], dtype=dtype)
    for key in ("epot", "ekin", "etot"):
        state[key] = float(data[key])
    if "virial" in data:  # older checkpoints lack it: the engine evaluates it anew
        state["virial"] = float(data["virial"])
    state.update(_dynamics_entries(data))
    ekin, epot, etot = (np.ascontiguousarray(data[k], dtype=np.float64) for k in ("log_ekin", "log_epot", "log_etot"))
    extras = None
    if "log_conserved" in data:
        extras = {k: np.ascontiguousarray(data["log_" + k], dtype=np.float64) for k in ("conserved", "volume", "pressure")}
    seed = int(data["seed"])
    engine = _core.Engine.restore(params, state, team, int(data["step"]), ekin, epot, etot,
                                  None if seed < 0 else seed, extras)
    step0, time0 = np.asarray(data["time_base"]).tolist()
    return engine, (None if seed < 0 else seed), (int(step0), float(time0))


def _dynamics_entries(data: Mapping[str, Any]) -> Dict[str, Any]:
    """The box and the integration method's entries, typed for the engine (a
    checkpoint of a run without them has none)."""
    out: Dict[str, Any] = {}
    for key in ("box", "list_box", "method_parameter_values", "method_state", "barostat_parameter_values"):
        if key in data:
            out[key] = np.ascontiguousarray(data[key], dtype=np.float64).reshape(-1)
    for key in ("method_parameter_names", "barostat_parameter_names"):
        if key in data:
            out[key] = [str(name) for name in np.asarray(data[key]).reshape(-1).tolist()]
    if "method" in data:
        out["method"] = str(np.asarray(data["method"]))
    if "barostat_work" in data:
        out["barostat_work"] = float(data["barostat_work"])
    return out


def write(path: str, data: Mapping[str, Any]) -> None:
    """Writes the arrays to `path` through a temporary file renamed into place,
    synced to disk first."""
    with replace_atomically(path) as tmp, open(tmp, "wb") as f:
        np.savez(f, **data)
        f.flush()
        os.fsync(f.fileno())


def read(path: str) -> Dict[str, Any]:
    """The arrays of the checkpoint at `path`; ValueError when it is not one of
    this format."""
    with np.load(path, allow_pickle=False) as data:
        fmt = int(data["format"]) if "format" in data else None
        if fmt != FORMAT:
            raise ValueError(f"{path} is not a vorlan checkpoint of format {FORMAT}")
        return {key: data[key] for key in data.files}
