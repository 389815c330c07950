"""Extended XYZ: the text format of OVITO, ASE and libAtoms, written and read.

Each frame is one block: the particle count, a comment line with the box
(``Lattice=``), the column layout (``Properties=``), ``pbc``, the frame index and,
when known, ``step=`` and ``Time=``, then one line per particle::

    N
    Lattice="Lx 0 0 0 Ly 0 0 0 Lz" Properties=species:S:1:pos:R:3:velo:R:3:masses:R:1:momenta:R:3 pbc="T T T" frame=k
    Ar x y z vx vy vz m m*vx m*vy m*vz

`velo` is the velocity column of OVITO and libAtoms; ASE knows velocities only as
momenta, which it divides by the masses column, so both are written. With the
default mass 1 (the reduced unit of mass) the momenta are the velocities digit
for digit and ASE's get_velocities() returns them exactly. Numbers are written
with 17 significant digits, so they read back exactly.
"""

from __future__ import annotations

import os
import shlex
from typing import Any, Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, TextIO, Tuple, Union

import numpy as np

from .atomic import replace_atomically
from .files import open_regular
from .frames import Trajectory, box3, check_species
from .movie import Movie, check_frames, read_movie, same_file

__all__ = ["write_xyz", "write_xyz_frames", "read_xyz", "read_xyz_frame", "XYZFrame"]

PathLike = Union[str, "os.PathLike[str]"]

XYZ_PROPERTIES = "species:S:1:pos:R:3:velo:R:3:masses:R:1:momenta:R:3"


def write_xyz_frames(f: TextIO, box: np.ndarray, positions: np.ndarray, velocities: np.ndarray, *,
                     species: Union[str, Sequence[str]] = "Ar", mass: float = 1.0, steps: Optional[Any] = None,
                     times: Optional[Any] = None,
                     check: Optional[Callable[[int], None]] = None, frames: Optional[Iterable[int]] = None) -> int:
    """Writes frames as extended XYZ blocks to the text stream `f` and returns how
    many. `box` (K, 3), `positions` and `velocities` (K, N, 3) may be lazy views:
    one frame is touched at a time. `steps` and `times`, when known, go on the
    comment line as step= and Time=; `check(k)` runs before frame k is written.
    `species` is one name for all particles or one per particle (a mixture)."""
    mass = float(mass)
    if not (np.isfinite(mass) and mass > 0.0):
        raise ValueError(f"mass must be a positive number, got {mass!r}")
    n = positions.shape[1]
    names = None
    if isinstance(species, str):
        check_species(species)
        row = species.replace("%", "%%") + " " + " ".join(["%.17g"] * 10)
    else:
        names = [str(s) for s in species]
        if len(names) != n:
            raise ValueError(f"species has {len(names)} names for {n} particles: give one, or one per particle")
        for name in set(names):
            check_species(name)
        row = " ".join(["%.17g"] * 10)
    count = 0
    for k in range(positions.shape[0]) if frames is None else frames:
        if check is not None:
            check(k)
        lx, ly, lz = (repr(float(x)) for x in box[k])
        extra = f" step={int(steps[k])}" if steps is not None else ""
        if times is not None:
            extra += f" Time={float(times[k])!r}"
        f.write(f"{n}\n")
        f.write(f'Lattice="{lx} 0 0 0 {ly} 0 0 0 {lz}" Properties={XYZ_PROPERTIES} '
                f'pbc="T T T" frame={k}{extra}\n')
        if n:
            v = np.asarray(velocities[k], dtype=np.float64)
            data = np.hstack([positions[k], v, np.full((n, 1), mass), mass * v])
            if names is None:
                np.savetxt(f, data, fmt=row)
            else:
                f.writelines(f"{name} {row % tuple(values)}\n" for name, values in zip(names, data))
        count += 1
    return count


def write_xyz(movie: Union[Movie, str, "os.PathLike[str]"], out: Union[str, "os.PathLike[str]", TextIO],
              species: str = "Ar", nr_particles: Optional[int] = None, *, mass: float = 1.0) -> None:
    """Writes the frames of `movie` as extended XYZ text to `out`.

    `movie` is a Movie or the path of a movie file (read with `nr_particles`,
    every frame checked as it is written); `out` is a path, replaced only once
    all frames are written, or an open text file. Each frame becomes one XYZ
    block whose comment line carries the box and the column layout::

        N
        Lattice="Lx 0 0 0 Ly 0 0 0 Lz" Properties=species:S:1:pos:R:3:velo:R:3:masses:R:1:momenta:R:3 pbc="T T T" frame=k
        Ar x y z vx vy vz m m*vx m*vy m*vz
        ...

    OVITO reads `velo` as the velocities, ASE the momenta divided by the masses;
    `mass` (default 1, the reduced unit) is the particle mass. Every particle
    gets the chemical symbol `species`. Numbers are written with 17 significant
    digits, so they read back exactly.
    """
    check = None
    if not isinstance(movie, Movie):
        name = os.fspath(movie)
        if isinstance(out, (str, os.PathLike)) and same_file(name, out):
            raise ValueError(f"{os.fspath(out)}: is the movie file being read; choose another output")
        movie = read_movie(name, nr_particles)
        check = lambda k: check_frames(name, movie, [k])  # noqa: E731
    check_species(species)
    if isinstance(out, (str, bytes, os.PathLike)):
        with replace_atomically(out) as tmp, open(tmp, "w", encoding="ascii", newline="\n") as f:
            write_xyz_frames(f, movie.box, movie.positions, movie.velocities, species=species,
                             mass=mass, check=check)
    else:
        write_xyz_frames(out, movie.box, movie.positions, movie.velocities, species=species,
                         mass=mass, check=check)


def _comment_fields(line: str) -> dict:
    """key=value and key="quoted value" pairs of an extended XYZ comment line."""
    fields = {}
    for token in shlex.split(line, posix=True):
        key, sep, value = token.partition("=")
        if sep:
            fields[key] = value
    return fields


def _frame_header(lines: List[str], i: int, where: str) -> Tuple[int, Dict[str, str]]:
    """The particle count and the comment line's fields of the frame starting at line `i`."""
    text = lines[i].strip()
    n = int(text) if text.isdigit() and text.isascii() and len(text) < 19 else -1
    if n < 0:
        raise ValueError(f"{where}: expected the particle count, got {lines[i][:40]!r}")
    if i + 2 + n > len(lines):
        raise ValueError(f"{where}: {n} particles announced, {max(len(lines) - i - 2, 0)} lines follow")
    try:
        return n, _comment_fields(lines[i + 1])
    except ValueError as e:
        raise ValueError(f"{where}: cannot read the comment line ({e})") from None


def _lattice_box(info: Mapping[str, str], where: str) -> np.ndarray:
    """The box sides of an orthorhombic Lattice= of the comment line."""
    if "Lattice" not in info:
        raise ValueError(f"{where}: no Lattice= on the comment line; the box is needed")
    try:
        lattice = np.array(info["Lattice"].split(), dtype=np.float64)
    except ValueError:
        raise ValueError(f"{where}: Lattice={info['Lattice'][:80]!r} is not nine numbers") from None
    if lattice.shape != (9,) or np.any(lattice.reshape(3, 3)[~np.eye(3, dtype=bool)] != 0.0):
        raise ValueError(f"{where}: Lattice={info['Lattice']!r} is not an orthorhombic box")
    return box3(np.diag(lattice.reshape(3, 3)), f"{where}: Lattice")


def _particle_rows(info: Mapping[str, str], lines: List[str], first: int,
                   where: str) -> Tuple[Dict[str, slice], List[List[str]]]:
    """The columns of each property (from Properties=, by default species and
    pos) and the particle lines (the first at line `first`, counted from 1)
    split into fields, each with all the columns."""
    columns: Dict[str, slice] = {}
    c = 0
    spec = info.get("Properties", "species:S:1:pos:R:3").split(":")
    if len(spec) % 3:
        raise ValueError(f"{where}: Properties={info['Properties'][:60]!r} is not a list of name:type:columns")
    for prop, _, width in zip(spec[0::3], spec[1::3], spec[2::3]):
        if not width.isdigit() or not 1 <= int(width) <= 9:
            raise ValueError(f"{where}: Properties gives {prop!r} {width[:20]!r} columns; 1 to 9 are allowed")
        columns[prop] = slice(c, c + int(width))
        c += int(width)
    rows = [line.split() for line in lines]
    for k, r in enumerate(rows):
        if len(r) != c:
            raise ValueError(f"{where}: line {first + k} has {len(r)} columns; every particle line needs {c} columns "
                             "(Properties=)")
    if "pos" not in columns or columns["pos"].stop - columns["pos"].start != 3:
        raise ValueError(f"{where}: Properties has no pos column of three coordinates")
    return columns, rows


class XYZFrame(NamedTuple):
    """The particles of one extended XYZ frame (N particles)."""

    box: np.ndarray                   # (3,) sides of the orthorhombic Lattice
    positions: np.ndarray             # (N, 3)
    velocities: Optional[np.ndarray]  # (N, 3) from velo (vel, velocities, momenta / masses), or None
    masses: Optional[np.ndarray]      # (N,) from masses, or None
    symbols: Optional[List[str]]      # the species column, or None
    step: Optional[int]               # step= of the comment line
    time: Optional[float]             # Time= of the comment line


def _parse_frame(lines: List[str], i: int, where: str) -> Tuple[XYZFrame, int]:
    """The frame whose count line is line i (from 0) and the index of the line
    after it."""
    n, info = _frame_header(lines, i, where)
    box = _lattice_box(info, where)
    columns, rows = _particle_rows(info, lines[i + 2:i + 2 + n], i + 3, where)

    def numeric(prop: str) -> np.ndarray:
        try:
            a = np.array([r[columns[prop]] for r in rows], dtype=np.float64).reshape(n, -1)
        except ValueError:
            bad = next(k for k, r in enumerate(rows) if not _numbers(r[columns[prop]]))
            raise ValueError(f"{where}: line {i + 3 + bad} has {prop} {' '.join(rows[bad][columns[prop]])!r}, "
                             "not numbers") from None
        if not np.isfinite(a).all():
            bad = int(np.argwhere(~np.isfinite(a))[0][0])
            raise ValueError(f"{where}: line {i + 3 + bad} has {prop} {a[bad].tolist()}; numbers must be finite")
        return a

    velocities = None
    masses = numeric("masses")[:, 0] if "masses" in columns else None
    for prop in ("velo", "vel", "velocities"):
        if prop in columns:
            velocities = numeric(prop)
            break
    else:
        if "momenta" in columns and masses is not None:
            if not (masses > 0.0).all():
                raise ValueError(f"{where}: line {i + 3 + int(np.argmin(masses > 0.0))} has a mass that is not "
                                 "positive")
            velocities = numeric("momenta") / masses[:, None]
    try:
        step = int(info["step"]) if "step" in info else None
        time = float(info["Time"]) if "Time" in info else None
    except ValueError:
        raise ValueError(f"{where}: step={info.get('step')!r} Time={info.get('Time')!r} are not numbers") from None
    symbols = [r[columns["species"]][0] for r in rows] if "species" in columns else None
    return XYZFrame(box, numeric("pos"), velocities, masses, symbols, step, time), i + 2 + n


def _numbers(fields: List[str]) -> bool:
    try:
        [float(x) for x in fields]
    except ValueError:
        return False
    return True


def _lines(name: str) -> List[str]:
    with open_regular(name, "XYZ file") as f:
        data = f.read()
    try:
        return data.decode("utf-8").splitlines()
    except UnicodeDecodeError as e:
        raise ValueError(f"{name}: byte {e.start} is not UTF-8 text; an XYZ file is text") from None


def read_xyz_frame(path: PathLike, frame: int = -1) -> XYZFrame:
    """Frame `frame` (negative counts from the end) of an extended XYZ file:
    the frames before it are skipped by their count lines, each count checked
    against the lines that are left, and only the frame asked for is parsed."""
    name = os.fspath(path)
    lines = _lines(name)
    starts: List[int] = []
    i = 0
    while i < len(lines):
        if not lines[i].strip():
            i += 1
            continue
        n, _ = _frame_header(lines, i, f"{name}, frame {len(starts)} (line {i + 1})")
        starts.append(i)
        i += 2 + n
    if isinstance(frame, bool) or not isinstance(frame, (int, np.integer)):
        raise ValueError(f"frame = {frame!r} is not allowed: give an integer (negative counts from the end)")
    if not -len(starts) <= frame < len(starts):
        raise ValueError(f"frame = {frame} is not allowed: {name} holds {len(starts)} frame(s)")
    k = int(frame) % len(starts)
    return _parse_frame(lines, starts[k], f"{name}, frame {k} (line {starts[k] + 1})")[0]


def read_xyz(path: PathLike) -> Trajectory:
    """Reads an extended XYZ file: the box from Lattice (orthorhombic), positions
    from `pos`, velocities from `velo` (or `vel`, or `momenta` / `masses`; zeros
    if none), step= and Time= from the comment line (the frame index if no step)."""
    name = os.fspath(path)
    lines = _lines(name)
    steps: List[int] = []
    symbols: List[str] = []  # the species column of the first frame
    boxes: List[np.ndarray] = []
    positions: List[np.ndarray] = []
    velocities: List[np.ndarray] = []
    times: List[Optional[float]] = []
    i = 0
    while i < len(lines):
        if not lines[i].strip():
            i += 1
            continue
        k = len(boxes)
        f, i = _parse_frame(lines, i, f"{name}, frame {k} (line {i + 1})")
        boxes.append(f.box)
        positions.append(f.positions)
        velocities.append(f.velocities if f.velocities is not None else np.zeros_like(f.positions))
        if f.symbols is not None and not symbols:
            symbols = f.symbols
        steps.append(f.step if f.step is not None else k)
        times.append(f.time)
    if len({len(p) for p in positions}) > 1:
        raise ValueError(f"{name}: the frames hold different particle counts")
    n = len(positions[0]) if positions else 0
    return Trajectory(
        steps=np.array(steps, dtype=np.int64), box=np.array(boxes).reshape(-1, 3),
        positions=np.array(positions).reshape(-1, n, 3), velocities=np.array(velocities).reshape(-1, n, 3),
        images=None, times=None if not times or None in times else np.array(times),
        species=list(dict.fromkeys(symbols)) or None,
        types=np.array([list(dict.fromkeys(symbols)).index(s) for s in symbols], dtype=np.int32) if symbols else None)
