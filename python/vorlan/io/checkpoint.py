"""Checkpoints of a Simulation: NumPy ``.npz`` files holding everything the next
steps depend on, so that a simulation saved at step k and loaded continues bit
for bit as an unbroken run.

Arrays: ``format`` (the layout version), ``step``, ``log_start`` (the steps a
restart took over before the log's first entry), ``time_base`` (step and time at
which the current stepsize took over), ``seed`` (-1: the process-wide sequence),
``parameter_keys`` and ``parameter_values`` (the settings as text), the Cell's
state (positions, velocities, forces, dij_list, neighbor_list, images,
positions_initial, velocities_initial, the energies epot, ekin, etot, the
virial of the forces, and the box now and at the list build, box and
list_box), for a mixture the species names (species), types, per-type masses
and the Lennard-Jones tables epsilon, sigma, rcut, the pair potential when
the run has one (pair_family, pair_mode, pair_nr_types, pair_values: S x S x P
flat, pair_tail, and for tables pair_arrays with pair_array_sizes; without
them the settings' or the mixture's Lennard-Jones), the integration method (method,
method_parameter_names and _values, method_state: chain variables, work;
barostat_parameter_names and _values, barostat_work and barostat_start_volume
when a barostat runs; the names and their rules are the engine's registry,
vorlan.methods.kinds(), with the barostat's couple as the index of xyz, xy,
none, isotropic when absent) and
the log (log_ekin, log_epot, log_etot, log_conserved, log_volume,
log_pressure).
"""

from __future__ import annotations

import os
import zipfile
from typing import Any, Dict, List, Mapping, Optional, Tuple

import numpy as np

from .. import _core
from ..mixture import species_names
from .atomic import replace_atomically
from .files import open_regular

__all__ = ["FORMAT", "LAYOUT", "arrays", "restore", "write", "read", "load", "mixture", "settings"]

FORMAT = 1  # version of the checkpoint layout

# Each entry of a checkpoint: the kind of its values and its number of dimensions.
LAYOUT = {
    "format": ("int", 0),
    "step": ("int", 0),
    "log_start": ("int", 0),
    "time_base": ("float", 1),
    "seed": ("int", 0),
    "parameter_keys": ("str", 1),
    "parameter_values": ("str", 1),
    "positions": ("float", 2),
    "velocities": ("float", 2),
    "forces": ("float", 2),
    "dij_list": ("float", 2),
    "neighbor_list": ("uint32", 1),
    "images": ("int32", 2),
    "positions_initial": ("float", 2),
    "velocities_initial": ("float", 2),
    "epot": ("float", 0),
    "ekin": ("float", 0),
    "etot": ("float", 0),
    "virial": ("float", 0),
    "log_ekin": ("float", 1),
    "log_epot": ("float", 1),
    "log_etot": ("float", 1),
    "box": ("float", 1),
    "list_box": ("float", 1),
    "method": ("str", 0),
    "method_parameter_names": ("str", 1),
    "method_parameter_values": ("float", 1),
    "method_state": ("float", 1),
    "barostat_parameter_names": ("str", 1),
    "barostat_parameter_values": ("float", 1),
    "barostat_work": ("float", 0),
    "barostat_start_volume": ("float", 0),
    "log_conserved": ("float", 1),
    "log_volume": ("float", 1),
    "log_pressure": ("float", 1),
    "species": ("str", 1),
    "types": ("int32", 1),
    "masses": ("float", 1),
    "epsilon": ("float", 2),
    "sigma": ("float", 2),
    "rcut": ("float", 2),
    "pair_family": ("str", 0),
    "pair_mode": ("str", 0),
    "pair_nr_types": ("int", 0),
    "pair_values": ("float", 1),
    "pair_tail": ("int", 0),
    "pair_arrays": ("float", 1),
    "pair_array_sizes": ("float", 1),
    "fields": ("float", 2),
}

# Entries that checkpoints of an earlier layout lack (and the barostat's, which
# only a run with one has).
OPTIONAL = ("log_start", "virial", "box", "list_box", "method", "method_parameter_names", "method_parameter_values",
            "method_state", "barostat_parameter_names", "barostat_parameter_values", "barostat_work",
            "barostat_start_volume",
            "log_conserved", "log_volume", "log_pressure", "species", "types", "masses", "epsilon", "sigma", "rcut",
            "pair_family", "pair_mode", "pair_nr_types", "pair_values", "pair_tail", "pair_arrays", "pair_array_sizes",
            "fields")

# Optional entries that a checkpoint holds all or none of.
TOGETHER = (("log_conserved", "log_volume", "log_pressure"),
            ("method", "method_parameter_names", "method_parameter_values", "method_state"),
            ("barostat_parameter_names", "barostat_parameter_values", "barostat_work"),
            ("types", "masses"),
            ("epsilon", "sigma", "rcut"),
            ("pair_family", "pair_mode", "pair_nr_types", "pair_values", "pair_tail"),
            ("pair_arrays", "pair_array_sizes"))

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


MIXTURE_TABLES = ("masses", "epsilon", "sigma", "rcut")
PAIR_ENTRIES = ("pair_values", "pair_arrays", "pair_array_sizes")


def arrays(engine: Any, seed: Optional[int], time_base: Tuple[int, float],
           species: Optional[List[str]] = None) -> Dict[str, Any]:
    """The checkpoint of `engine` (a vorlan._core.Engine) as a dict of arrays;
    `species`: the names of a mixture's species."""
    out: Dict[str, Any] = dict(engine.state())
    if species is not None:
        out["species"] = np.array(species, dtype=str)
    for key in ("method", "method_parameter_names", "barostat_parameter_names", "pair_family", "pair_mode"):
        if key in out:
            out[key] = np.array(out[key], dtype=str)
    if "pair_tail" in out:
        out["pair_tail"] = np.int64(out["pair_tail"])
        out["pair_nr_types"] = np.int64(out["pair_nr_types"])
    params = engine.parameters
    keys = sorted(params)
    ekin, epot, etot = engine.log()
    out.update(
        format=np.int64(FORMAT),
        step=np.int64(engine.step),
        log_start=np.int64(engine.log_start),
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


def _entry(data: Mapping[str, Any], key: str) -> np.ndarray:
    """The array `key` of a checkpoint, converted to the type of its LAYOUT row;
    ValueError naming it when it is missing or of another kind or shape."""
    if key not in data:
        raise ValueError(f"it has no entry {key!r}")
    kind, ndim = LAYOUT[key]
    a = np.asarray(data[key])
    if a.ndim != ndim:
        raise ValueError(f"its entry {key!r} has {a.ndim} dimension(s), a checkpoint's has {ndim}")
    allowed = {"float": "fiu", "int": "iu", "uint32": "iu", "int32": "iu", "str": "U"}[kind]
    if a.dtype.kind not in allowed:
        raise ValueError(f"its entry {key!r} holds {a.dtype} values, a checkpoint's holds {kind} values")
    if kind in ("uint32", "int32"):
        info = np.iinfo(kind)
        if a.size and (a.min() < info.min or a.max() > info.max):
            raise ValueError(f"its entry {key!r} holds values outside the range of {kind}")
    return np.asarray(a, dtype={"float": np.float64, "int": np.int64, "uint32": np.uint32, "int32": np.int32,
                                "str": str}[kind], order="C")


def _text(values: np.ndarray, key: str) -> list:
    """The strings of a str array; ValueError when a code point is none of
    Unicode's (beyond U+10FFFF, or a surrogate)."""
    points = np.ascontiguousarray(values).view(np.uint32)
    if ((points > 0x10FFFF) | ((points >= 0xD800) & (points <= 0xDFFF))).any():
        raise ValueError(f"its entry {key!r} holds text that is not valid Unicode")
    return values.tolist()


def restore(data: Mapping[str, Any], team: int) -> Tuple[Any, Optional[int], Tuple[int, float]]:
    """(engine, seed, time_base) from a checkpoint's arrays; `team` the team size
    (0: the runtime default). ValueError when the arrays are not a checkpoint
    of this layout ("it has no entry 'step'", ...) and when the engine refuses the
    state (a setting outside its rule, a value that is not finite, a neighbour
    list that breaks its layout: vorlan._core)."""
    from ..params import SEED_MAX, SEED_MIN, STEP_MAX

    a = {key: _entry(data, key) for key in LAYOUT if key in data or key not in OPTIONAL}
    for group in TOGETHER:
        if any(key in a for key in group):
            for key in group:
                _entry(a, key)  # "it has no entry ..."
    step, seed = int(a["step"]), int(a["seed"])
    if not 0 <= step <= STEP_MAX:
        raise ValueError(f"its step {step} is outside 0 .. {STEP_MAX}")
    if seed != -1 and not SEED_MIN <= seed <= SEED_MAX:
        raise ValueError(f"its seed {seed} is neither -1 (none) nor a seed {SEED_MIN} .. {SEED_MAX}")
    time_base = a["time_base"]
    if time_base.shape != (2,) or not np.isfinite(time_base).all() or not (
            time_base[0] == int(time_base[0]) and 0 <= time_base[0] <= step):
        raise ValueError(f"its time_base {time_base.tolist()} is not (a step up to {step}, a finite time)")
    keys, values = _text(a["parameter_keys"], "parameter_keys"), _text(a["parameter_values"], "parameter_values")
    if len(keys) != len(values) or len(set(keys)) != len(keys):
        raise ValueError("its parameter_keys and parameter_values are not one value for each of distinct keys")
    state: Dict[str, Any] = {key: a[key] for key in STATE_ARRAYS}
    for key in ("epot", "ekin", "etot"):
        state[key] = float(a[key])
    if "virial" in a:  # older checkpoints lack it: the engine evaluates it anew
        state["virial"] = float(a["virial"])
    state.update(_dynamics_entries(a))
    if ("species" in a) != ("types" in a):
        raise ValueError("its species names and types come together (a mixture) or not at all (one species)")
    if "types" in a:
        _check_species(_text(a["species"], "species"), len(a["masses"]))
        state["types"] = np.ascontiguousarray(a["types"], dtype=np.int32)
        for key in MIXTURE_TABLES:
            if key in a:
                state[key] = np.ascontiguousarray(a[key], dtype=np.float64)
    if "pair_family" in a:  # older checkpoints lack it: Lennard-Jones of the settings or the mixture's tables
        state["pair_family"] = str(a["pair_family"])
        state["pair_mode"] = str(a["pair_mode"])
        state["pair_nr_types"] = int(a["pair_nr_types"])
        state["pair_tail"] = bool(a["pair_tail"])
        for key in PAIR_ENTRIES:
            if key in a:
                state[key] = np.ascontiguousarray(a[key], dtype=np.float64)
    if "fields" in a:  # rows of ten numbers per external field, as the engine writes them
        state["fields"] = np.ascontiguousarray(a["fields"], dtype=np.float64)
    extras = None
    if "log_conserved" in a:
        extras = {k: a["log_" + k] for k in ("conserved", "volume", "pressure")}
    log_start = int(a.get("log_start", 0))
    if not 0 <= log_start <= step:
        raise ValueError(f"its log_start {log_start} is outside 0 .. step {step}")
    engine = _core.Engine.restore(dict(zip(keys, values)), state, team, step, a["log_ekin"], a["log_epot"],
                                  a["log_etot"], None if seed < 0 else seed, extras, log_start)
    step0, time0 = time_base.tolist()
    return engine, (None if seed < 0 else seed), (int(step0), float(time0))


def _check_species(names: List[str], nr_types: int) -> None:
    """The species names of a mixture as the constructor takes them: one for each
    type of the tables, each a valid name, none twice."""
    if len(names) != nr_types:
        raise ValueError(f"its species entry holds {len(names)} names for the {nr_types} types of its tables")
    try:
        species_names(names)
    except ValueError as e:
        raise ValueError(f"its species entry is not allowed: {e}") from None


def settings(data: Mapping[str, Any]) -> Dict[str, str]:
    """The settings of a checkpoint's arrays as key -> value text (empty when
    they are not a checkpoint's: restore tells why)."""
    try:
        keys, values = _entry(data, "parameter_keys"), _entry(data, "parameter_values")
        return dict(zip(_text(keys, "parameter_keys"), _text(values, "parameter_values")))
    except ValueError:
        return {}


def mixture(data: Mapping[str, Any]) -> Tuple[Optional[List[str]], Optional[np.ndarray]]:
    """The species names and per-type masses of a checkpoint's mixture, (None,
    None) for one species."""
    species = [str(s) for s in np.asarray(data["species"]).tolist()] if "species" in data else None
    masses = np.asarray(data["masses"], dtype=np.float64) if "masses" in data else None
    return species, masses


def _dynamics_entries(a: Mapping[str, np.ndarray]) -> Dict[str, Any]:
    """The box and the integration method's entries, as the engine takes them (a
    checkpoint of an earlier layout has none: the box is cell_length, the method
    the default)."""
    out: Dict[str, Any] = {}
    for key in ("box", "list_box", "method_parameter_values", "method_state", "barostat_parameter_values"):
        if key in a:
            out[key] = a[key]
    for key in ("method_parameter_names", "barostat_parameter_names"):
        if key in a:
            out[key] = _text(a[key], key)
    if "method" in a:
        out["method"] = _text(a["method"], "method")
    for key in ("barostat_work", "barostat_start_volume"):
        if key in a:
            out[key] = float(a[key])
    return out


def write(path: str, data: Mapping[str, Any]) -> None:
    """Writes the arrays to `path` through a temporary file renamed into place,
    synced to disk first. The file is what ``np.savez`` writes, with every
    member dated 1980-01-01: the same state gives the same bytes, whenever and
    by however many processes it was saved."""
    with replace_atomically(path) as tmp, open(tmp, "wb") as f:
        with zipfile.ZipFile(f, mode="w", compression=zipfile.ZIP_STORED, allowZip64=True) as z:
            for key, value in data.items():
                member = zipfile.ZipInfo(key + ".npy", date_time=(1980, 1, 1, 0, 0, 0))
                with z.open(member, "w", force_zip64=True) as out:
                    np.lib.format.write_array(out, np.asanyarray(value), allow_pickle=False)
        f.flush()
        os.fsync(f.fileno())


def read(path: str) -> Dict[str, Any]:
    """The arrays of the checkpoint at `path`. Loading runs no code (no pickles).
    ValueError "PATH is not a vorlan checkpoint: why" when it is not a NumPy
    .npz file of this format; OSError when it is not a regular file that can be
    read."""
    with open_regular(path, "checkpoint") as f:
        try:
            data = np.load(f, allow_pickle=False)
            if not isinstance(data, np.lib.npyio.NpzFile):
                raise ValueError("it holds a single array (.npy), not the arrays of a checkpoint (.npz)")
            with data:
                fmt = int(data["format"]) if "format" in data.files else None
                if fmt != FORMAT:
                    raise ValueError(f"it has no format {FORMAT} entry")
                return {key: data[key] for key in data.files}
        except MemoryError:
            raise
        except Exception as e:  # whatever NumPy or zipfile find wrong in the bytes (not the path)
            raise ValueError(f"{path} is not a vorlan checkpoint: {e or type(e).__name__}") from None


def load(path: str, team: int, data: Optional[Mapping[str, Any]] = None) -> Tuple[Any, Optional[int], Tuple[int, float]]:
    """(engine, seed, time_base) of the checkpoint at `path` (read, unless its
    arrays `data` are given, then restore); every ValueError names the file."""
    data = read(path) if data is None else data
    try:
        return restore(data, team)
    except ValueError as e:
        message = str(e)
        if message.startswith(("it ", "its ")):
            raise ValueError(f"{path} is not a vorlan checkpoint: {message}") from None
        raise ValueError(f"{path}: {message}") from None
