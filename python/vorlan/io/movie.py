"""Reading movie files and converting them to extended XYZ.

A movie file, as written by ``Cell::write_to_movie_file`` and ``vorlan-run
--movie``, is little-endian binary without padding::

    header   uint32 N                 (only in a file started with create)
    frame    float64 Lx, Ly, Lz       (the box)
             N records of 7 float64   x y z  vx vy vz  |v|

A frame is 24 + 56 N bytes, a multiple of 8, so a file with the header is 4 bytes
longer than a multiple of 8 and a file without one is a multiple of 8: the size
alone tells which it is. A file without the header needs the particle count
from the caller. Frames carry no step number; they come in the order they were
written.

`read_movie` maps the file into memory instead of reading it: the arrays of the
returned Movie are views of the mapping, so a frame costs memory only when it is
touched, and the last frame of a file of many gigabytes is read in milliseconds.
The mapping is private (copy on write): changing the arrays never changes the file.

`write_movie` writes a Trajectory as a movie file with the header.
"""

from __future__ import annotations

import os
from typing import Callable, NamedTuple, Optional, Sequence, Union

import numpy as np

from .files import open_regular
from .frames import FrameSizes, Trajectory

__all__ = ["Movie", "read_movie", "write_movie", "frame_bytes", "check_frames", "same_file"]

HEADER_BYTES = 4
BOX_BYTES = 24
RECORD_BYTES = 56


class _MovieFields(NamedTuple):
    box: np.ndarray         # (K, 3) box lengths Lx, Ly, Lz of each frame
    positions: np.ndarray   # (K, N, 3)
    velocities: np.ndarray  # (K, N, 3)
    speeds: np.ndarray      # (K, N) |v| as stored in the file


class Movie(_MovieFields, FrameSizes):
    """The frames of a movie file, as float64 arrays (K frames, N particles)."""

    __slots__ = ()


def frame_bytes(nr_particles: int) -> int:
    """Size of one frame of a movie of `nr_particles` particles."""
    return BOX_BYTES + RECORD_BYTES * nr_particles


def _sizes_expected(offset: int, per_frame: int, size: int) -> str:
    """The two whole-frame file sizes around `size`."""
    below = max(size - offset, 0) // per_frame
    return f"expected {offset + below * per_frame} or {offset + (below + 1) * per_frame} bytes, got {size}"


def _layout(name: str, size: int, first4: bytes, nr_particles: Optional[int]):
    """(particle count, offset of the first frame, frame count) of a movie file
    of `size` bytes whose first bytes are `first4`; ValueError naming the sizes
    when no reading fits."""
    if size % 8 == HEADER_BYTES:
        header = int(np.frombuffer(first4, dtype="<u4", count=1)[0])
        if nr_particles is not None and nr_particles != header:
            raise ValueError(
                f"{name}: header says {header} particles, but nr_particles = {nr_particles} was given")
        n, offset = header, HEADER_BYTES
    elif size % 8 == 0:
        # Either a file without header, or a file with one cut short by 4 bytes
        # (mod 8): say what each reading expects.
        if len(first4) == HEADER_BYTES:
            header = int(np.frombuffer(first4, dtype="<u4", count=1)[0])
            with_header = (f"read with a header, the file says {header} particles in "
                           f"{frame_bytes(header)}-byte frames and ends in a partial one: "
                           f"{_sizes_expected(HEADER_BYTES, frame_bytes(header), size)}")
        else:
            with_header = "too short to hold a header"
        if nr_particles is None:
            raise ValueError(
                f"{name}: {size} bytes, a multiple of 8, so the file has no particle-count header; "
                f"pass nr_particles (or, {with_header})")
        n, offset = nr_particles, 0
        if size % frame_bytes(n):
            raise ValueError(
                f"{name}: {size} bytes is not a whole number of {frame_bytes(n)}-byte frames for "
                f"{n} particles without header ({_sizes_expected(0, frame_bytes(n), size)}); "
                f"{with_header}")
    else:
        raise ValueError(
            f"{name}: {size} bytes is neither 4 more than a multiple of 8 (with header) nor a "
            "multiple of 8 (without): the file is truncated or not a movie file")

    body = size - offset
    per_frame = frame_bytes(n)
    nr_frames, extra = divmod(body, per_frame)
    if extra:
        raise ValueError(
            f"{name}: {body} bytes of frames is not a whole number of {per_frame}-byte frames for "
            f"{n} particles ({nr_frames} frames and {extra} bytes left over; "
            f"{_sizes_expected(offset, per_frame, size)}): truncated or wrong particle count")
    return n, offset, nr_frames


def read_movie(path: Union[str, "os.PathLike[str]"], nr_particles: Optional[int] = None) -> Movie:
    """Maps the frames of the movie file at `path` into memory.

    A file that starts with the particle count is read as it stands; if
    `nr_particles` is given as well it must agree with the file. A file without
    that header (one started by appending) needs `nr_particles`.

    The arrays are views of a private memory map of the file: nothing is read
    until used, and writing to them changes neither the file nor other readers.

    Raises ValueError, naming the file and the sizes involved, when the file is
    not a regular file, is truncated, or does not match the particle count, and
    when the box lengths or speeds of its first frames or its last frame show
    that it is not read as it was written (a wrong particle count shifts every
    frame after the first). `write_xyz` and `vorlan.trajectory.convert` check
    every frame as they go.
    """
    name = os.fspath(path)

    if nr_particles is not None:
        if isinstance(nr_particles, bool) or not isinstance(nr_particles, (int, np.integer)):
            raise TypeError(f"nr_particles must be an int, got {type(nr_particles).__name__}")
        if not 0 <= nr_particles < 2**32:
            raise ValueError(f"nr_particles must be between 0 and 2**32 - 1, got {nr_particles}")
        nr_particles = int(nr_particles)

    with open_regular(name, "movie file") as f:
        size = os.fstat(f.fileno()).st_size
        n, offset, nr_frames = _layout(name, size, f.read(HEADER_BYTES), nr_particles)
        width = 3 + 7 * n
        if nr_frames == 0:
            values = np.empty((0, width), dtype=np.float64)
        else:
            # Plain ndarray views whose base is the map, which keeps it open.
            values = np.memmap(f, dtype="<f8", mode="c", offset=offset,
                               shape=(nr_frames, width)).view(np.ndarray)

    records = values[:, 3:].reshape(nr_frames, n, 7)
    movie = Movie(box=values[:, :3], positions=records[:, :, 0:3], velocities=records[:, :, 3:6],
                  speeds=records[:, :, 6])
    check_frames(name, movie, sorted({0, 1, 2, nr_frames - 1} & set(range(nr_frames))))
    return movie


def check_frames(name: str, movie: Movie, frames: Sequence[int]) -> None:
    """Rejects values that a correctly aligned movie file cannot hold, in `frames`."""
    if len(frames) == 0:
        return
    index = np.asarray(frames, dtype=np.intp)
    box = movie.box[index]
    bad_box = ~(np.isfinite(box) & (box > 0.0))
    if bad_box.any():
        k = int(index[np.argwhere(bad_box)[0][0]])
        raise ValueError(
            f"{name}: frame {k} has box lengths {movie.box[k].tolist()}, which are not positive "
            "numbers: wrong particle count or not a movie file")
    # The stored speed is |v| of the stored velocity; a misaligned read breaks this.
    v = movie.velocities[index]
    speeds = movie.speeds[index]
    expected = np.sqrt(v[..., 0] * v[..., 0] + (v[..., 1] * v[..., 1] + v[..., 2] * v[..., 2]))
    bad_speed = ~np.isclose(speeds, expected, rtol=1e-12, atol=0.0, equal_nan=True)
    if bad_speed.any():
        j, i = (int(x) for x in np.argwhere(bad_speed)[0])
        raise ValueError(
            f"{name}: frame {int(index[j])}, particle {i}: stored speed {float(speeds[j, i])!r} is not the "
            f"length {float(expected[j, i])!r} of its velocity: wrong particle count or not a movie file")


def same_file(a: Union[str, "os.PathLike[str]"], b: Union[str, "os.PathLike[str]"]) -> bool:
    """True if `a` and `b` name one existing file (through any path or hard link)."""
    try:
        sa, sb = os.stat(a), os.stat(b)
    except OSError:
        return False
    return (sa.st_dev, sa.st_ino) == (sb.st_dev, sb.st_ino)


def write_movie(path: str, traj: Trajectory, check: Callable[[int], None] = lambda k: None) -> None:
    """Writes `traj` as a movie file with the particle-count header; `check(k)`
    runs before frame k is written."""
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
