"""Start configurations from files: one frame of a GSD file, an extended XYZ
file or a LAMMPS data file, as positions, velocities, box, species and masses.

    .gsd                      gsd.hoomd (vorlan's own frames keep their doubles)
    .xyz, .extxyz             extended XYZ (vorlan.io.xyz): species, pos, velo or momenta, masses
    .data, .lmp, .lammps      LAMMPS data (vorlan.io.lammps_data): atomic, charge, molecular, full

Numbers are taken as they stand, in the file's own units: a file written by
vorlan or by a reduced-unit (``units lj``) LAMMPS run is in reduced units; one
in angstrom is converted with ``vorlan.units`` before it is given to a
simulation. The box must be orthorhombic (no tilt); positions are taken
relative to its lower corner. Species are the type names of a GSD file, the
symbols of an XYZ file and the type numbers ("1", "2", ...) of a LAMMPS data
file; masses and velocities are returned when the file holds them, else None.
"""

from __future__ import annotations

import os
from typing import Dict, List, NamedTuple, Optional, Union

import numpy as np

from .._optional import require
from .files import open_regular
from .lammps_data import parse_lammps_data
from .xyz import read_xyz_frame

__all__ = ["StartFrame", "read_start", "START_FORMATS", "masses_by_species"]

PathLike = Union[str, "os.PathLike[str]"]

START_FORMATS = {".gsd": "gsd", ".xyz": "extxyz", ".extxyz": "extxyz", ".data": "lammps-data",
                 ".lmp": "lammps-data", ".lammps": "lammps-data"}


class StartFrame(NamedTuple):
    """One configuration read from a file (N particles, S species)."""

    positions: np.ndarray             # (N, 3) float64, relative to the box's lower corner
    box: np.ndarray                   # (3,) box sides Lx, Ly, Lz
    species: List[str]                # S names
    types: np.ndarray                 # (N,) int32 index into species
    velocities: Optional[np.ndarray]  # (N, 3) float64, or None when the file has none
    masses: Optional[np.ndarray]      # (N,) float64, or None when the file has none
    step: Optional[int] = None        # the frame's step number, when the file records it
    dt: Optional[float] = None        # the time step of the run that wrote it (GSD log vorlan/dt)
    time: Optional[float] = None      # the frame's simulated time (GSD log vorlan/time)


def _frame_index(frame: int, count: int, name: str) -> int:
    if isinstance(frame, bool) or not isinstance(frame, (int, np.integer)):
        raise ValueError(f"frame = {frame!r} is not allowed: give an integer (negative counts from the end)")
    if not -count <= frame < count:
        raise ValueError(f"frame = {frame} is not allowed: {name} holds {count} frame(s)")
    return int(frame) % count


def _orthorhombic(cell: np.ndarray, name: str) -> np.ndarray:
    cell = np.asarray(cell, dtype=np.float64)
    if np.any(cell - np.diag(np.diag(cell)) != 0.0):
        raise ValueError(f"{name}: the box is tilted (cell {cell.tolist()}); only orthorhombic boxes are supported")
    box = np.diag(cell).copy()
    if not (np.isfinite(box).all() and (box > 0.0).all()):
        raise ValueError(f"{name}: the box sides {box.tolist()} are not allowed: three positive lengths are needed")
    return box


def _types(symbols: List[str]):
    species = list(dict.fromkeys(symbols))  # in order of first appearance
    index = {s: k for k, s in enumerate(species)}
    return species, np.array([index[s] for s in symbols], dtype=np.int32)


def _chunks(raw, k: int, name: str):
    """N of frame k and ``chunk(key, width)``, the array of a chunk of frame k:
    one absent there is taken from frame 0 (a per-particle one only when frame
    0 holds as many particles, HOOMD's rule), None when neither holds it. A
    per-particle chunk (width 0: N values, else N x width) is checked against N
    before it is used, so that a count the file does not back never sizes an
    allocation; width -1 is a chunk of the frame as a whole (box, step)."""
    def stored(chunk: str, frame: int):
        return raw.read_chunk(frame=frame, name=chunk) if raw.chunk_exists(frame=frame, name=chunk) else None

    count0 = stored("particles/N", 0)
    n0 = int(count0[0]) if count0 is not None and count0.size else 0
    count = stored("particles/N", k)
    n = int(count[0]) if count is not None and count.size else n0

    def chunk(key: str, width: int = 0):
        a = stored(key, k)
        if a is None and k != 0 and (width < 0 or n0 == n):
            a = stored(key, 0)
        if a is None or width < 0:
            return a
        shape = (n, width) if width else (n,)
        if a.size != int(np.prod(shape)):
            raise ValueError(f"{name}: frame {k}: the chunk {key} holds {a.size} values, but particles/N = {n} "
                             f"needs {int(np.prod(shape))} ({' x '.join(map(str, shape))})")
        return a.reshape(shape)

    return n, chunk


def _read_gsd(name: str, frame: int) -> StartFrame:
    fl = require("gsd.fl", purpose="GSD starts")
    try:
        raw = fl.open(name, mode="r")
    except (RuntimeError, OSError) as e:
        raise ValueError(f"{name}: not a GSD file ({e})") from None
    with raw:
        k = _frame_index(frame, raw.nframes, name)
        n, chunk = _chunks(raw, k, name)
        b6 = chunk("configuration/box", -1)
        b6 = np.array([1.0, 1.0, 1.0, 0.0, 0.0, 0.0]) if b6 is None else np.asarray(b6, dtype=np.float64).ravel()
        if b6.shape != (6,):
            raise ValueError(f"{name}: frame {k}: configuration/box holds {b6.size} values, 6 are needed")
        if np.any(b6[3:] != 0.0):
            raise ValueError(f"{name}: frame {k} has a tilted box (xy, xz, yz = {b6[3:].tolist()}); "
                             "only orthorhombic boxes are supported")
        exact_box = chunk("log/vorlan/box", -1)
        box = b6[:3] if exact_box is None else np.asarray(exact_box, dtype=np.float64).ravel()
        if box.shape != (3,):
            raise ValueError(f"{name}: frame {k}: log/vorlan/box holds {box.size} values, 3 are needed")
        box = _orthorhombic(np.diag(box), name)
        positions = chunk("log/particles/vorlan/position", 3)
        if positions is None:  # HOOMD centres the box on the origin
            hoomd_x = chunk("particles/position", 3)
            if hoomd_x is None and n:
                raise ValueError(f"{name}: frame {k} declares {n} particles but stores no positions")
            positions = (np.zeros((0, 3)) if hoomd_x is None else np.asarray(hoomd_x, dtype=np.float64) + 0.5 * box)
        positions = np.array(positions, dtype=np.float64)
        names = chunk("particles/types", -1)
        species = ["A"] if names is None else [bytes(row).rstrip(b"\0").decode("utf-8", "replace")
                                               for row in np.atleast_2d(np.asarray(names, dtype=np.uint8))]
        typeid = chunk("particles/typeid")
        types = np.zeros(n, dtype=np.int64) if typeid is None else np.asarray(typeid, dtype=np.int64)
        if n and (types.min() < 0 or types.max() >= len(species)):
            bad = int(np.argmax((types < 0) | (types >= len(species))))
            raise ValueError(f"{name}: particle {bad} has typeid {int(types[bad])}, but the frame names "
                             f"{len(species)} type(s) {species}")
        velocities = chunk("log/particles/vorlan/velocity", 3)
        if velocities is None:
            velocities = chunk("particles/velocity", 3)
        masses = chunk("particles/mass")
        step = chunk("configuration/step", -1)
        dt = chunk("log/vorlan/dt", -1)
        time = chunk("log/vorlan/time", -1)
    return StartFrame(positions, box, species, types.astype(np.int32),
                      None if velocities is None else np.array(velocities, dtype=np.float64),
                      None if masses is None else np.array(masses, dtype=np.float64),
                      int(step[0]) if step is not None and step.size else 0,
                      float(dt[0]) if dt is not None and dt.size else None,
                      float(time[0]) if time is not None and time.size else None)


def _read_xyz(name: str, frame: int) -> StartFrame:
    f = read_xyz_frame(name, frame)
    species, types = _types(f.symbols if f.symbols is not None else ["A"] * len(f.positions))
    return StartFrame(f.positions, f.box, species, types, f.velocities, f.masses, f.step)


def _read_lammps(name: str) -> StartFrame:
    with open_regular(name, "LAMMPS data file") as f:
        data = f.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ValueError(f"{name}: byte {e.start} is not UTF-8 text; a data file is text") from None
    d = parse_lammps_data(text, name)
    present = np.unique(d.types)  # the types that have particles, type 1 first
    masses = None if d.masses is None else np.array([d.masses[int(t)] for t in d.types], dtype=np.float64)
    return StartFrame(d.positions, d.box, [str(t) for t in present],
                      np.searchsorted(present, d.types).astype(np.int32), d.velocities, masses)


def read_start(path: PathLike, frame: int = -1, *, format: Optional[str] = None) -> StartFrame:
    """Frame `frame` (default the last; a LAMMPS data file has one) of the file
    at `path` as a StartFrame. The format follows the extension (START_FORMATS)
    unless `format` ("gsd", "extxyz", "lammps-data") names it. A file that
    does not exist, a tilted box, a type index out of range or an unknown
    extension raise ValueError naming the file."""
    name = os.fspath(path)
    name = os.fsdecode(name) if isinstance(name, bytes) else name
    fmt = format or START_FORMATS.get(os.path.splitext(name)[1].lower())
    if fmt not in ("gsd", "extxyz", "lammps-data"):
        raise ValueError(f"{name}: cannot tell the format from the extension; the starts read are "
                         f"{', '.join(sorted(START_FORMATS))} (or give format='gsd', 'extxyz', 'lammps-data')")
    if not os.path.exists(name):
        raise ValueError(f"{name}: no such file")
    if not os.path.isfile(name):
        raise ValueError(f"{name}: not a regular file; a start is read from a file")
    if fmt == "gsd":
        start = _read_gsd(name, frame)
    elif fmt == "extxyz":
        start = _read_xyz(name, frame)
    else:
        if frame not in (0, -1):
            raise ValueError(f"frame = {frame!r} is not allowed: {name} holds one frame (a LAMMPS data file)")
        start = _read_lammps(name)
    if not np.isfinite(start.positions).all():
        bad = int(np.argwhere(~np.isfinite(start.positions))[0][0])
        raise ValueError(f"{name}: particle {bad} has the position {start.positions[bad].tolist()}")
    if start.velocities is not None and not np.isfinite(start.velocities).all():
        bad = int(np.argwhere(~np.isfinite(start.velocities))[0][0])
        raise ValueError(f"{name}: particle {bad} has the velocity {start.velocities[bad].tolist()}")
    if start.masses is not None and not (np.isfinite(start.masses) & (start.masses > 0.0)).all():
        bad = int(np.argmin(np.isfinite(start.masses) & (start.masses > 0.0)))
        raise ValueError(f"{name}: particle {bad} has the mass {start.masses[bad]}; a mass must be positive")
    return start



def masses_by_species(start: StartFrame, names: List[str], path: PathLike) -> Dict[str, float]:
    """name -> mass of each species of `start` (named `names`, in order) that
    the file gives masses for; ValueError naming the file when two particles of
    one species differ in mass."""
    out: Dict[str, float] = {}
    if start.masses is None:
        return out
    for k, name in enumerate(names):
        of_type = start.masses[start.types == k]
        if len(of_type) and np.any(of_type != of_type[0]):
            i = int(np.flatnonzero(start.types == k)[np.argmax(of_type != of_type[0])])
            raise ValueError(f"{os.fspath(path)}: particle {i} of species {name!r} has the mass "
                             f"{start.masses[i]}, others of its species {of_type[0]}: a species has one mass")
        if len(of_type):
            out[name] = float(of_type[0])
    return out
