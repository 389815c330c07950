"""Trajectories in GSD, the binary format of HOOMD read by OVITO, MDAnalysis,
freud and VMD.

A GSD frame written here follows the HOOMD schema, so that every reader finds
what it expects::

    configuration/step      uint64      the step number
    configuration/box       float32 6   Lx Ly Lz, no tilt
    particles/N, types, typeid           the species names and each particle's index into them
    particles/position      float32 N,3  centred in the box, [-L/2, L/2) as in HOOMD
    particles/velocity      float32 N,3
    particles/image         int32 N,3    box crossings: unwrapped = position + image * L

The schema holds single precision only, so each frame also carries the double
precision values under log/ (which HOOMD's readers pass through untouched):
``log/particles/vorlan/position`` (N,3, in [0, L) as the engine keeps them),
``log/particles/vorlan/velocity``, ``log/vorlan/box`` and, when known,
``log/vorlan/time`` (the simulated time of the frame) and ``log/vorlan/dt`` (the
time step, so that a reader can tell the time of a frame: step * dt; MDAnalysis
takes it as ``dt=`` times the steps between frames), and the pair potential:
``log/vorlan/pair/family`` and ``log/vorlan/pair/mode`` (the names as UTF-8
bytes, uint8), ``log/vorlan/pair/values`` (float64, S x S pairs times the
family's parameters in ``vorlan.pair.families()`` order, row-major) and
``log/vorlan/pair/tail`` (1 when the tail correction is on); with external
fields ``log/vorlan/fields`` (float64, ten numbers per field: kind 0 constant
or 1 wall, style 0 lj93 or 1 harmonic, axis, fx, fy, fz, epsilon, sigma, k,
rcut); under a barostat ``log/vorlan/barostat/couple`` (the axes scaled
together, "xyz", "xy" or "none", as UTF-8 bytes) and
``log/vorlan/barostat/pressure`` (the target). `read_gsd` returns those when present, so movie -> GSD ->
movie gives back every bit; from another program's GSD file it takes the schema
values and moves the positions into [0, L).

Each frame is flushed to the file as soon as it is written: a run stopped by
Ctrl-C or killed leaves a valid file holding every frame written so far.
"""

from __future__ import annotations

import contextlib
import os
from typing import Any, Iterator, Mapping, Optional, Sequence, Union

import numpy as np

from .._optional import require
from .files import open_regular
from .frames import Trajectory, box3, check_species, count

__all__ = ["GSDWriter", "read_gsd", "frame_count", "last_step"]

PathLike = Union[str, "os.PathLike[str]"]


def _gsd_hoomd():
    return require("gsd.hoomd", purpose="GSD trajectories")


class GSDWriter:
    """Writes frames of N particles in a fixed box to the GSD file at `path`
    (replaced if it exists; with mode="a" the frames are appended). Use as a context manager, or call close()::

        with GSDWriter("run.gsd", box=(10, 10, 10), nr_particles=1000) as w:
            w.write(step, positions, velocities, images)
    """

    def __init__(self, path: PathLike, box, nr_particles: int, *, type_name: Union[str, Sequence[str]] = "A",
                 dt: Optional[float] = None, mode: str = "w", pair: Optional[Mapping[str, Any]] = None):
        hoomd = _gsd_hoomd()
        if mode not in ("w", "a"):
            raise ValueError(f"mode = {mode!r} is not allowed: 'w' (replace the file) or 'a' (append to it)")
        self.box = box3(box)
        self.nr_particles = count(nr_particles, "nr_particles")
        names = [type_name] if isinstance(type_name, str) else list(type_name)
        for name in names:
            check_species(name)
        self.type_names = names  # the species names, particles/types
        if dt is not None and not (np.isfinite(dt) and dt >= 0.0):
            raise ValueError(f"dt = {dt!r} is not allowed: the time step is a finite number >= 0")
        self.dt = None if dt is None else float(dt)
        self.pair = pair  # family, mode, values, tail of the pair potential, or None
        self.fields: Optional[np.ndarray] = None  # the external fields' rows (vorlan.field), or None
        self.barostat: Any = None  # the vorlan.CRescale of the run, or None
        self.path = os.fspath(path)
        self.nr_frames = 0
        self._frame = hoomd.Frame
        self.last_step: Optional[int] = None  # the step of the file's last frame before this writer (append)
        self._file = hoomd.open(self.path, mode=mode)

    def _array(self, values, what: str, dtype) -> np.ndarray:
        a = np.asarray(values)
        if a.shape != (self.nr_particles, 3):
            raise ValueError(f"{what} must have shape ({self.nr_particles}, 3), got {a.shape}")
        return np.ascontiguousarray(a, dtype=dtype)

    def write(self, step: int, positions, velocities, images=None, *, time: Optional[float] = None,
              box=None, typeid=None) -> None:
        """Appends one frame and flushes it to disk. `positions` (N, 3) in [0, L)
        as the engine wraps them, `velocities` (N, 3), `images` (N, 3) integer box
        crossings (zeros when None), `time` the simulated time if known, `box`
        this frame's box lengths if not the writer's."""
        if self._file is None:
            raise ValueError(f"{self.path}: the GSD writer is closed")
        step = count(step, "step")
        box = self.box if box is None else box3(box)
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
        frame.particles.types = self.type_names
        frame.particles.typeid = self._typeid(typeid)
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
        if self.dt is not None:
            frame.log["vorlan/dt"] = np.array([self.dt], dtype=np.float64)
        if self.pair is not None:
            for key in ("family", "mode"):
                frame.log["vorlan/pair/" + key] = np.frombuffer(str(self.pair[key]).encode(), dtype=np.uint8).copy()
            frame.log["vorlan/pair/values"] = np.asarray(self.pair["values"], dtype=np.float64)
            frame.log["vorlan/pair/tail"] = np.array([int(bool(self.pair["tail"]))], dtype=np.uint8)
        if self.barostat is not None:
            frame.log["vorlan/barostat/couple"] = np.frombuffer(str(self.barostat.couple).encode(), dtype=np.uint8).copy()
            frame.log["vorlan/barostat/pressure"] = np.array([self.barostat.pressure], dtype=np.float64)
        if self.fields is not None and len(self.fields):
            frame.log["vorlan/fields"] = np.asarray(self.fields, dtype=np.float64).reshape(-1)
        self._file.append(frame)
        self._file.flush()
        self.nr_frames += 1

    def _typeid(self, typeid) -> np.ndarray:
        if typeid is None:
            return np.zeros(self.nr_particles, dtype=np.uint32)
        t = np.asarray(typeid)
        if t.shape != (self.nr_particles,) or (t.size and (t.min() < 0 or t.max() >= len(self.type_names))):
            raise ValueError(f"typeid must be {self.nr_particles} indices into the types {self.type_names}")
        return t.astype(np.uint32)

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


@contextlib.contextmanager
def _open_gsd(hoomd, name: str) -> Iterator[Any]:
    """The GSD file `name` opened for reading, when it is a regular file; the
    gsd library's errors about its contents (RuntimeError: not a GSD file,
    corrupt, truncated; KeyError: a frame without a chunk that the first frame
    lists) become ValueError naming the file."""
    open_regular(name, "GSD file").close()
    try:
        with hoomd.open(name, mode="r") as traj:
            yield traj
    except (RuntimeError, KeyError) as e:
        raise ValueError(f"{name}: cannot be read as a GSD trajectory ({type(e).__name__}: {e})") from None


def read_gsd(path: PathLike) -> Trajectory:
    """Reads all frames of the GSD file at `path` (one written by GSDWriter, or a
    HOOMD-schema file with an orthorhombic box and a fixed particle count)."""
    hoomd = _gsd_hoomd()
    name = os.fspath(path)
    with _open_gsd(hoomd, name) as traj:
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
        dt = None
        species = [str(t) for t in first.particles.types] if first is not None else None
        types = np.asarray(first.particles.typeid, dtype=np.int32) if first is not None else None
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
            step = int(frame.configuration.step)
            if step > np.iinfo(np.int64).max:
                raise ValueError(f"{name}: frame {k} has step {step}, more than a step counter holds")
            steps[k] = step
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
            if "vorlan/dt" in log:
                dt = float(log["vorlan/dt"][0])
            if "vorlan/time" in log:
                times[k] = log["vorlan/time"][0]
            else:
                have_time = False
    return Trajectory(steps=steps, box=box, positions=positions, velocities=velocities, images=images,
                      times=times if have_time else None, dt=dt, species=species, types=types)


def last_step(path: PathLike) -> Optional[int]:
    """The step of the last frame of the GSD file at `path` (None: no frames)."""
    with _gsd_hoomd().open(os.fspath(path), mode="r") as traj:
        return int(traj[-1].configuration.step) if len(traj) else None


def frame_count(path: PathLike) -> int:
    """The number of frames in the GSD file at `path`."""
    with _open_gsd(_gsd_hoomd(), os.fspath(path)) as traj:
        return len(traj)
