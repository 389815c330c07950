"""Trajectories in GSD, the binary format of HOOMD read by OVITO, MDAnalysis,
freud and VMD, and conversion between GSD, movie files and extended XYZ.

A GSD frame written here follows the HOOMD schema, so that every reader finds
what it expects::

    configuration/step      uint64      the step number
    configuration/box       float32 6   Lx Ly Lz, no tilt
    particles/N, types, typeid           N particles of the one type "A"
    particles/position      float32 N,3  centred in the box, [-L/2, L/2) as in HOOMD
    particles/velocity      float32 N,3
    particles/image         int32 N,3    box crossings: unwrapped = position + image * L

The schema holds single precision only, so each frame also carries the double
precision values under log/ (which HOOMD's readers pass through untouched):
``log/particles/vorlan/position`` (N,3, in [0, L) as the engine keeps them),
``log/particles/vorlan/velocity``, ``log/vorlan/box`` and, when known,
``log/vorlan/time``. `read_gsd` returns those when present, so movie -> GSD ->
movie gives back every bit; from another program's GSD file it takes the schema
values and moves the positions into [0, L).

Each frame is flushed to the file as soon as it is written: a run stopped by
Ctrl-C or killed leaves a valid file holding every frame written so far.
"""

from __future__ import annotations

import mmap
import os
from typing import NamedTuple, Optional, Union

import numpy as np

from ._atomic import replace_atomically
from .movie import (
    Movie,
    _check_frames,
    _check_species,
    frame_bytes,
    read_movie,
    same_file,
    write_xyz_frames,
)

__all__ = ["GSDWriter", "Trajectory", "read_gsd", "read_xyz", "convert"]

PathLike = Union[str, "os.PathLike[str]"]
FORMATS = {".movie": "movie", ".gsd": "gsd", ".xyz": "xyz", ".extxyz": "xyz"}


def _import_gsd():
    try:
        import gsd.hoomd
    except ImportError as e:
        raise ImportError("GSD trajectories need the gsd package: pip install gsd") from e
    return gsd.hoomd


class Trajectory(NamedTuple):
    """Frames of a trajectory (K frames, N particles), float64 unless stated.
    `images` and `times` are None where the file does not hold them."""

    steps: np.ndarray                  # (K,) int64 step number of each frame
    box: np.ndarray                    # (K, 3) box lengths
    positions: np.ndarray              # (K, N, 3) in [0, L)
    velocities: np.ndarray             # (K, N, 3)
    images: Optional[np.ndarray]       # (K, N, 3) int32 box crossings
    times: Optional[np.ndarray]        # (K,) simulated time

    @property
    def nr_frames(self) -> int:
        return self.positions.shape[0]

    @property
    def nr_particles(self) -> int:
        return self.positions.shape[1]


def _box3(box, what: str = "box") -> np.ndarray:
    b = np.asarray(box, dtype=np.float64)
    if b.shape != (3,) or not (np.isfinite(b).all() and (b > 0.0).all()):
        raise ValueError(f"{what} must be three positive box lengths Lx, Ly, Lz, got {np.asarray(box).tolist()}")
    return b


def _count(value, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 0:
        raise ValueError(f"{what} must be a non-negative integer, got {value!r}")
    return int(value)


class GSDWriter:
    """Writes frames of N particles in a fixed box to the GSD file at `path`
    (replaced if it exists). Use as a context manager, or call close()::

        with GSDWriter("run.gsd", box=(10, 10, 10), nr_particles=1000) as w:
            w.write(step, positions, velocities, images)
    """

    def __init__(self, path: PathLike, box, nr_particles: int, *, type_name: str = "A"):
        hoomd = _import_gsd()
        self.box = _box3(box)
        self.nr_particles = _count(nr_particles, "nr_particles")
        _check_species(type_name)
        self.type_name = type_name
        self.path = os.fspath(path)
        self.nr_frames = 0
        self._frame = hoomd.Frame
        self._file = hoomd.open(self.path, mode="w")

    def _array(self, values, what: str, dtype) -> np.ndarray:
        a = np.asarray(values)
        if a.shape != (self.nr_particles, 3):
            raise ValueError(f"{what} must have shape ({self.nr_particles}, 3), got {a.shape}")
        return np.ascontiguousarray(a, dtype=dtype)

    def write(self, step: int, positions, velocities, images=None, *, time: Optional[float] = None,
              box=None) -> None:
        """Appends one frame and flushes it to disk. `positions` (N, 3) in [0, L)
        as the engine wraps them, `velocities` (N, 3), `images` (N, 3) integer box
        crossings (zeros when None), `time` the simulated time if known, `box`
        this frame's box lengths if not the writer's."""
        if self._file is None:
            raise ValueError(f"{self.path}: the GSD writer is closed")
        step = _count(step, "step")
        box = self.box if box is None else _box3(box)
        pos = self._array(positions, "positions", np.float64)
        vel = self._array(velocities, "velocities", np.float64)
        if images is None:
            img = np.zeros((self.nr_particles, 3), dtype=np.int32)
        else:
            img = np.asarray(images)
            if not np.issubdtype(img.dtype, np.integer):
                raise ValueError(f"images must be integer box crossings, got dtype {img.dtype}")
            img = self._array(img, "images", np.int32)

        frame = self._frame()
        frame.configuration.step = step
        frame.configuration.dimensions = 3
        frame.configuration.box = np.array([box[0], box[1], box[2], 0.0, 0.0, 0.0], dtype=np.float32)
        frame.particles.N = self.nr_particles
        frame.particles.types = [self.type_name]
        frame.particles.typeid = np.zeros(self.nr_particles, dtype=np.uint32)
        # Centred in single precision, a position just below L can round up to
        # L/2, outside HOOMD's half-open box: keep it one float32 below.
        half = (0.5 * box).astype(np.float32)
        centred = (pos - 0.5 * box).astype(np.float32)
        frame.particles.position = np.where(centred < half, centred, np.nextafter(half, np.float32(0)))
        frame.particles.velocity = vel.astype(np.float32)
        frame.particles.image = img
        frame.log["particles/vorlan/position"] = pos
        frame.log["particles/vorlan/velocity"] = vel
        frame.log["vorlan/box"] = box.copy()
        if time is not None:
            frame.log["vorlan/time"] = np.array([time], dtype=np.float64)
        self._file.append(frame)
        self._file.flush()
        self.nr_frames += 1

    def close(self) -> None:
        if self._file is not None:
            f, self._file = self._file, None
            f.close()

    def __enter__(self) -> "GSDWriter":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):
        # A writer dropped without close() still leaves a complete file.
        try:
            self.close()
        except Exception:
            pass


def read_gsd(path: PathLike) -> Trajectory:
    """Reads all frames of the GSD file at `path` (one written by GSDWriter, or a
    HOOMD-schema file with an orthorhombic box and a fixed particle count)."""
    hoomd = _import_gsd()
    name = os.fspath(path)
    with hoomd.open(name, mode="r") as traj:
        nr_frames = len(traj)
        first = traj[0] if nr_frames else None
        n = int(first.particles.N) if first is not None else 0
        steps = np.zeros(nr_frames, dtype=np.int64)
        box = np.zeros((nr_frames, 3))
        positions = np.zeros((nr_frames, n, 3))
        velocities = np.zeros((nr_frames, n, 3))
        images = np.zeros((nr_frames, n, 3), dtype=np.int32)
        times = np.zeros(nr_frames)
        have_time = nr_frames > 0
        for k in range(nr_frames):
            frame = traj[k]
            if int(frame.particles.N) != n:
                raise ValueError(f"{name}: frame {k} has {frame.particles.N} particles, frame 0 has {n}; "
                                 "a trajectory of a fixed particle count is needed")
            b6 = np.asarray(frame.configuration.box, dtype=np.float64)
            if np.any(b6[3:] != 0.0):
                raise ValueError(f"{name}: frame {k} has a tilted box (xy, xz, yz = {b6[3:].tolist()}); "
                                 "only orthorhombic boxes are supported")
            log = frame.log
            steps[k] = int(frame.configuration.step)
            box[k] = log["vorlan/box"] if "vorlan/box" in log else b6[:3]
            if "particles/vorlan/position" in log:
                positions[k] = log["particles/vorlan/position"]
            else:
                # HOOMD centres the box on the origin.
                positions[k] = np.asarray(frame.particles.position, dtype=np.float64) + 0.5 * box[k]
            if "particles/vorlan/velocity" in log:
                velocities[k] = log["particles/vorlan/velocity"]
            else:
                velocities[k] = frame.particles.velocity
            images[k] = frame.particles.image
            if "vorlan/time" in log:
                times[k] = log["vorlan/time"][0]
            else:
                have_time = False
    return Trajectory(steps=steps, box=box, positions=positions, velocities=velocities, images=images,
                      times=times if have_time else None)


# ---------------------------------------------------------------- extended XYZ


def _comment_fields(line: str) -> dict:
    """key=value and key="quoted value" pairs of an extended XYZ comment line."""
    import shlex

    fields = {}
    for token in shlex.split(line, posix=True):
        key, sep, value = token.partition("=")
        if sep:
            fields[key] = value
    return fields


def read_xyz(path: PathLike) -> Trajectory:
    """Reads an extended XYZ file: the box from Lattice (orthorhombic), positions
    from `pos`, velocities from `velo` (or `vel`, or `momenta` / `masses`; zeros
    if none), step= and Time= from the comment line (the frame index if no step)."""
    name = os.fspath(path)
    with open(name, encoding="utf-8") as f:
        lines = f.read().splitlines()
    steps, boxes, positions, velocities, times = [], [], [], [], []
    i = 0
    while i < len(lines):
        if not lines[i].strip():
            i += 1
            continue
        k = len(boxes)
        where = f"{name}, frame {k} (line {i + 1})"
        try:
            n = int(lines[i])
        except ValueError:
            raise ValueError(f"{where}: expected the particle count, got {lines[i][:40]!r}") from None
        if i + 2 + n > len(lines):
            raise ValueError(f"{where}: {n} particles announced, {max(len(lines) - i - 2, 0)} lines follow")
        try:
            info = _comment_fields(lines[i + 1])
        except ValueError as e:
            raise ValueError(f"{where}: cannot read the comment line ({e})") from None
        if "Lattice" not in info:
            raise ValueError(f"{where}: no Lattice= on the comment line; the box is needed")
        lattice = np.array(info["Lattice"].split(), dtype=np.float64)
        if lattice.shape != (9,) or np.any(lattice.reshape(3, 3)[~np.eye(3, dtype=bool)] != 0.0):
            raise ValueError(f"{where}: Lattice={info['Lattice']!r} is not an orthorhombic box")
        boxes.append(_box3(np.diag(lattice.reshape(3, 3)), f"{where}: Lattice"))
        columns, c = {}, 0
        spec = info.get("Properties", "species:S:1:pos:R:3").split(":")
        for prop, _, width in zip(spec[0::3], spec[1::3], spec[2::3]):
            columns[prop] = slice(c, c + int(width))
            c += int(width)
        rows = [line.split() for line in lines[i + 2:i + 2 + n]]
        if any(len(r) != c for r in rows):
            raise ValueError(f"{where}: every particle line needs {c} columns")
        numeric = lambda prop: np.array([r[columns[prop]] for r in rows], dtype=np.float64).reshape(n, -1)  # noqa: E731
        if "pos" not in columns:
            raise ValueError(f"{where}: no pos column in Properties")
        positions.append(numeric("pos"))
        for prop in ("velo", "vel", "velocities"):
            if prop in columns:
                velocities.append(numeric(prop))
                break
        else:
            if "momenta" in columns and "masses" in columns:
                velocities.append(numeric("momenta") / numeric("masses"))
            else:
                velocities.append(np.zeros((n, 3)))
        steps.append(int(info["step"]) if "step" in info else k)
        times.append(float(info["Time"]) if "Time" in info else None)
        i += 2 + n
    if len({len(p) for p in positions}) > 1:
        raise ValueError(f"{name}: the frames hold different particle counts")
    n = len(positions[0]) if positions else 0
    return Trajectory(
        steps=np.array(steps, dtype=np.int64), box=np.array(boxes).reshape(-1, 3),
        positions=np.array(positions).reshape(-1, n, 3), velocities=np.array(velocities).reshape(-1, n, 3),
        images=None, times=None if not times or None in times else np.array(times))


# ---------------------------------------------------------------- conversion


def _format(path: str) -> str:
    ext = os.path.splitext(path)[1].lower()
    if ext not in FORMATS:
        raise ValueError(f"{path}: unknown trajectory format {ext or '(no extension)'!r}; "
                         f"allowed: {', '.join(FORMATS)}")
    return FORMATS[ext]


def _page_releaser(movie: Movie, offset: int):
    """A function of k that gives back the mapped pages of the frames before k:
    streaming through a movie file then holds about one frame in memory instead
    of every page read so far (they are file pages, so nothing is lost)."""
    base = movie.box
    while base is not None and not isinstance(base, mmap.mmap):
        base = base.base
    advice = getattr(mmap, "MADV_DONTNEED", None)
    if base is None or advice is None or not hasattr(base, "madvise"):
        return lambda k: None
    per_frame, page = frame_bytes(movie.nr_particles), mmap.PAGESIZE
    done = 0

    def release(k: int) -> None:
        nonlocal done
        end = (offset + k * per_frame) // page * page
        if end > done:
            base.madvise(advice, done, end - done)
            done = end

    return release


def _write_movie(path: str, traj: Trajectory, check) -> None:
    n = traj.nr_particles
    with open(path, "wb") as f:
        f.write(np.array([n], dtype="<u4").tobytes())
        for k in range(traj.nr_frames):
            check(k)
            v = np.asarray(traj.velocities[k], dtype=np.float64)
            speed = np.sqrt(v[:, 0] * v[:, 0] + (v[:, 1] * v[:, 1] + v[:, 2] * v[:, 2]))
            records = np.hstack([traj.positions[k], v, speed[:, None]])
            f.write(np.asarray(traj.box[k], dtype="<f8").tobytes())
            f.write(records.astype("<f8").tobytes())


def convert(in_path: PathLike, out_path: PathLike, *, species: str = "Ar",
            nr_particles: Optional[int] = None) -> int:
    """Converts the trajectory `in_path` to `out_path`, each a movie file (.movie),
    GSD (.gsd) or extended XYZ (.xyz, .extxyz) by its extension, and returns the
    number of frames. A movie holds no step numbers: its frames become steps 0,
    1, 2, ... `species` names the particles in XYZ and the particle type in GSD;
    `nr_particles` reads a movie file without header.

    Refuses an output that is the input (through any path or hard link). The
    output appears only once complete: it is written to a temporary file in its
    folder and renamed over `out_path`.
    """
    src, dst = os.fspath(in_path), os.fspath(out_path)
    fmt_in, fmt_out = _format(src), _format(dst)
    if same_file(src, dst):
        raise ValueError(f"{dst}: is the input file {src}; choose another output")
    _check_species(species)

    def check(k: int) -> None:
        """Called before frame k is written: a movie's frames are checked (and their
        pages given back) one at a time; the other readers checked them all."""

    if fmt_in == "movie":
        movie = read_movie(src, nr_particles)
        traj = Trajectory(steps=np.arange(movie.nr_frames), box=movie.box, positions=movie.positions,
                          velocities=movie.velocities, images=None, times=None)
        release = _page_releaser(movie, 4 if os.path.getsize(src) % 8 else 0)

        def check(k: int) -> None:  # noqa: F811
            release(k)
            _check_frames(src, movie, [k])
    elif fmt_in == "gsd":
        traj = read_gsd(src)
    else:
        traj = read_xyz(src)

    with replace_atomically(dst) as tmp:
        if fmt_out == "movie":
            _write_movie(tmp, traj, check)
        elif fmt_out == "gsd":
            box = traj.box[0] if traj.nr_frames else np.ones(3)
            with GSDWriter(tmp, box, traj.nr_particles, type_name=species) as w:
                for k in range(traj.nr_frames):
                    check(k)
                    w.write(int(traj.steps[k]), traj.positions[k], traj.velocities[k],
                            None if traj.images is None else traj.images[k],
                            time=None if traj.times is None else float(traj.times[k]), box=traj.box[k])
        else:
            with open(tmp, "w", encoding="ascii", newline="\n") as f:
                write_xyz_frames(f, traj.box, traj.positions, traj.velocities, species=species,
                                 steps=None if fmt_in == "movie" else traj.steps, times=traj.times,
                                 check=check)
    return traj.nr_frames
