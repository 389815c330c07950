"""Conversion between trajectory formats: movie files (.movie), GSD (.gsd) and
extended XYZ (.xyz, .extxyz), chosen by the file extensions."""

from __future__ import annotations

import mmap
import os
from typing import Any, Optional, Union

import numpy as np

from .atomic import replace_atomically
from .frames import Trajectory, check_species
from .gsd import GSDWriter, read_gsd
from .movie import Movie, check_frames, frame_bytes, read_movie, same_file, write_movie
from .xyz import read_xyz, write_xyz_frames

__all__ = ["FORMATS", "convert"]

PathLike = Union[str, "os.PathLike[str]"]
FORMATS = {".movie": "movie", ".gsd": "gsd", ".xyz": "xyz", ".extxyz": "xyz"}


def _format(path: str) -> str:
    ext = os.path.splitext(path)[1].lower()
    if ext not in FORMATS:
        raise ValueError(f"{path}: unknown trajectory format {ext or '(no extension)'!r}; "
                         f"allowed: {', '.join(FORMATS)}")
    return FORMATS[ext]


def _named_format(name: str) -> str:
    if name not in FORMATS.values():
        raise ValueError(f"unknown trajectory format {name!r}; allowed: {', '.join(sorted(set(FORMATS.values())))}")
    return name


def _page_releaser(movie: Movie, offset: int):
    """A function of k that gives back the mapped pages of the frames before k:
    streaming through a movie file then holds about one frame in memory instead
    of every page read so far (they are file pages, so nothing is lost)."""
    base: Any = movie.box
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


def convert(in_path: PathLike, out_path: PathLike, *, species: str = "Ar",
            nr_particles: Optional[int] = None, in_format: Optional[str] = None,
            out_format: Optional[str] = None) -> int:
    """Converts the trajectory `in_path` to `out_path`, each a movie file (.movie),
    GSD (.gsd) or extended XYZ (.xyz, .extxyz) by its extension, and returns the
    number of frames; `in_format` and `out_format` ("movie", "gsd", "xyz") name
    a format whatever the extension. A movie holds no step numbers: its frames become steps 0,
    1, 2, ... `species` names the particles in XYZ and the particle type in GSD;
    `nr_particles` reads a movie file without header.

    Refuses an output that is the input (through any path or hard link). The
    output appears only once complete: it is written to a temporary file in its
    folder and renamed over `out_path`.
    """
    src, dst = os.fspath(in_path), os.fspath(out_path)
    fmt_in = _named_format(in_format) if in_format else _format(src)
    fmt_out = _named_format(out_format) if out_format else _format(dst)
    if same_file(src, dst):
        raise ValueError(f"{dst}: is the input file {src}; choose another output")
    check_species(species)

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
            check_frames(src, movie, [k])
    elif fmt_in == "gsd":
        traj = read_gsd(src)
    else:
        traj = read_xyz(src)

    with replace_atomically(dst) as tmp:
        if fmt_out == "movie":
            write_movie(tmp, traj, check)
        elif fmt_out == "gsd":
            box = traj.box[0] if traj.nr_frames else np.ones(3)
            with GSDWriter(tmp, box, traj.nr_particles, type_name=species, dt=traj.dt) as w:
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
