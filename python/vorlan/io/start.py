"""Start configurations from files: one frame of a GSD file, an extended XYZ
file or a LAMMPS data file, as positions, velocities, box, species and masses.

    .gsd                      gsd.hoomd (vorlan's own frames keep their doubles)
    .xyz, .extxyz             ASE's extended XYZ reader
    .data, .lmp, .lammps      ASE's LAMMPS data reader (atom_style atomic or full)

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


def _read_gsd(name: str, frame: int) -> StartFrame:
    hoomd = require("gsd.hoomd", purpose="GSD starts")
    fl = require("gsd.fl", purpose="GSD starts")
    with hoomd.open(name, mode="r") as traj:
        k = _frame_index(frame, len(traj), name)
        f = traj[k]
        n = int(f.particles.N)
        b6 = np.asarray(f.configuration.box, dtype=np.float64)
        if np.any(b6[3:] != 0.0):
            raise ValueError(f"{name}: frame {k} has a tilted box (xy, xz, yz = {b6[3:].tolist()}); "
                             "only orthorhombic boxes are supported")
        log = f.log
        box = np.asarray(log["vorlan/box"], dtype=np.float64) if "vorlan/box" in log else b6[:3]
        box = _orthorhombic(np.diag(box), name)
        if "particles/vorlan/position" in log:
            positions = np.array(log["particles/vorlan/position"], dtype=np.float64)
        else:  # HOOMD centres the box on the origin
            positions = np.asarray(f.particles.position, dtype=np.float64) + 0.5 * box
        species = [str(t) for t in f.particles.types]
        types = np.asarray(f.particles.typeid, dtype=np.int64)
        if n and (types.min() < 0 or types.max() >= len(species)):
            bad = int(np.argmax((types < 0) | (types >= len(species))))
            raise ValueError(f"{name}: particle {bad} has typeid {int(types[bad])}, but the frame names "
                             f"{len(species)} type(s) {species}")
        velocities = masses = None
        # HOOMD's reader fills a chunk missing from a frame from frame 0, or with
        # its default: the file holds velocities and masses only where a chunk says so.
        with fl.open(name, mode="r") as raw:
            def stored(chunk: str) -> bool:
                return bool(raw.chunk_exists(frame=k, name=chunk) or raw.chunk_exists(frame=0, name=chunk))

            if "particles/vorlan/velocity" in log:
                velocities = np.array(log["particles/vorlan/velocity"], dtype=np.float64)
            elif stored("particles/velocity"):
                velocities = np.array(f.particles.velocity, dtype=np.float64)
            if stored("particles/mass"):
                masses = np.array(f.particles.mass, dtype=np.float64)
    dt = float(log["vorlan/dt"][0]) if "vorlan/dt" in log else None
    time = float(log["vorlan/time"][0]) if "vorlan/time" in log else None
    return StartFrame(positions.reshape(n, 3), box, species, types.astype(np.int32), velocities, masses,
                      int(f.configuration.step), dt, time)


def _read_ase(name: str, frame: int, fmt: str) -> StartFrame:
    ase_io = require("ase.io", extra="ase", purpose=f"{fmt} starts")
    if fmt == "lammps-data":
        # metal units leave positions and masses as written; velocities are
        # converted back below
        atoms = ase_io.read(name, format=fmt, units="metal", read_image_flags=False)
    else:
        frames = ase_io.read(name, index=":", format=fmt)
        atoms = frames[_frame_index(frame, len(frames), name)]
    box = _orthorhombic(np.asarray(atoms.get_cell()), name)
    positions = atoms.get_positions() - np.asarray(atoms.get_celldisp(), dtype=np.float64).reshape(3)
    if fmt == "lammps-data":
        numbers = np.asarray(atoms.arrays["type"], dtype=np.int64)
        present = np.unique(numbers)  # type 1 first
        species, types = [str(t) for t in present], np.searchsorted(present, numbers).astype(np.int32)
    else:
        species, types = _types(atoms.get_chemical_symbols())
    masses = atoms.get_masses() if atoms.has("masses") else None
    velocities = None
    if "velo" in atoms.arrays:  # vorlan's and OVITO's velocity column, as written
        velocities = np.array(atoms.arrays["velo"], dtype=np.float64)
    elif atoms.has("momenta"):
        if fmt == "lammps-data":
            from ase.calculators.lammps import convert

            velocities = atoms.get_velocities() / convert(1.0, "velocity", "metal", "ASE")
        else:
            velocities = atoms.get_velocities()
    step = atoms.info.get("step")
    return StartFrame(np.ascontiguousarray(positions, dtype=np.float64), box, species, types, velocities,
                      None if masses is None else np.asarray(masses, dtype=np.float64),
                      None if step is None else int(step))


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
    if not os.path.isfile(name):
        raise ValueError(f"{name}: no such file")
    start = _read_gsd(name, frame) if fmt == "gsd" else _read_ase(name, frame, fmt)
    if not np.isfinite(start.positions).all():
        bad = int(np.argwhere(~np.isfinite(start.positions))[0][0])
        raise ValueError(f"{name}: particle {bad} has the position {start.positions[bad].tolist()}")
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
