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

``python -m vorlan.movie MOVIE OUT.xyz [--nr-particles N] [--species S]``
converts a movie file to extended XYZ from the command line.
"""

import argparse
import os
import sys
from typing import NamedTuple, Optional, TextIO, Union

import numpy as np

__all__ = ["Movie", "read_movie", "write_xyz"]

HEADER_BYTES = 4
BOX_BYTES = 24
RECORD_BYTES = 56


class Movie(NamedTuple):
    """The frames of a movie file, as float64 arrays (K frames, N particles)."""

    box: np.ndarray         # (K, 3) box lengths Lx, Ly, Lz of each frame
    positions: np.ndarray   # (K, N, 3)
    velocities: np.ndarray  # (K, N, 3)
    speeds: np.ndarray      # (K, N) |v| as stored in the file

    @property
    def nr_frames(self) -> int:
        return self.positions.shape[0]

    @property
    def nr_particles(self) -> int:
        return self.positions.shape[1]


def frame_bytes(nr_particles: int) -> int:
    """Size of one frame of a movie of `nr_particles` particles."""
    return BOX_BYTES + RECORD_BYTES * nr_particles


def read_movie(path: Union[str, "os.PathLike[str]"], nr_particles: Optional[int] = None) -> Movie:
    """Reads all frames of the movie file at `path`.

    A file that starts with the particle count is read as it stands; if
    `nr_particles` is given as well it must agree with the file. A file without
    that header (one started by appending) needs `nr_particles`.

    Raises ValueError, naming the file and the sizes involved, when the file is
    truncated, does not match the particle count, or holds frames whose box
    lengths or speeds show that it is not read as it was written.
    """
    name = os.fspath(path)
    with open(name, "rb") as f:
        data = f.read()
    size = len(data)

    if nr_particles is not None:
        if isinstance(nr_particles, bool) or not isinstance(nr_particles, (int, np.integer)):
            raise TypeError(f"nr_particles must be an int, got {type(nr_particles).__name__}")
        if not 0 <= nr_particles < 2**32:
            raise ValueError(f"nr_particles must be between 0 and 2**32 - 1, got {nr_particles}")
        nr_particles = int(nr_particles)

    if size % 8 == HEADER_BYTES:
        header = int(np.frombuffer(data, dtype="<u4", count=1)[0])
        if nr_particles is not None and nr_particles != header:
            raise ValueError(
                f"{name}: header says {header} particles, but nr_particles = {nr_particles} was given")
        n, offset = header, HEADER_BYTES
    elif size % 8 == 0:
        if nr_particles is None:
            raise ValueError(
                f"{name}: {size} bytes, a multiple of 8, so the file has no particle-count header; "
                "pass nr_particles")
        n, offset = nr_particles, 0
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
            f"{n} particles ({nr_frames} frames and {extra} bytes left over; expected "
            f"{offset + nr_frames * per_frame} or {offset + (nr_frames + 1) * per_frame} bytes, "
            f"got {size}): truncated or wrong particle count")

    values = np.frombuffer(data, dtype="<f8", offset=offset).reshape(nr_frames, 3 + 7 * n)
    box = values[:, :3].astype(np.float64)
    records = values[:, 3:].reshape(nr_frames, n, 7)
    movie = Movie(
        box=box,
        positions=records[:, :, 0:3].astype(np.float64),
        velocities=records[:, :, 3:6].astype(np.float64),
        speeds=records[:, :, 6].astype(np.float64),
    )
    _check_frames(name, movie)
    return movie


def _check_frames(name: str, movie: Movie) -> None:
    """Rejects values that a correctly aligned movie file cannot hold."""
    bad_box = ~(np.isfinite(movie.box) & (movie.box > 0.0))
    if bad_box.any():
        k = int(np.argwhere(bad_box)[0][0])
        raise ValueError(
            f"{name}: frame {k} has box lengths {movie.box[k].tolist()}, which are not positive "
            "numbers: wrong particle count or not a movie file")
    # The stored speed is |v| of the stored velocity; a misaligned read breaks this.
    v = movie.velocities
    expected = np.sqrt(v[..., 0] * v[..., 0] + (v[..., 1] * v[..., 1] + v[..., 2] * v[..., 2]))
    bad_speed = ~np.isclose(movie.speeds, expected, rtol=1e-12, atol=0.0, equal_nan=True)
    if bad_speed.any():
        k, i = (int(x) for x in np.argwhere(bad_speed)[0])
        raise ValueError(
            f"{name}: frame {k}, particle {i}: stored speed {movie.speeds[k, i]!r} is not the "
            f"length {expected[k, i]!r} of its velocity: wrong particle count or not a movie file")


def write_xyz(movie: Union[Movie, str, "os.PathLike[str]"], out: Union[str, "os.PathLike[str]", TextIO],
              species: str = "Ar", nr_particles: Optional[int] = None) -> None:
    """Writes the frames of `movie` as extended XYZ text to `out`.

    `movie` is a Movie or the path of a movie file (read with `nr_particles`);
    `out` is a path or an open text file. Each frame becomes one XYZ block whose
    comment line carries the box and the column layout::

        N
        Lattice="Lx 0 0 0 Ly 0 0 0 Lz" Properties=species:S:1:pos:R:3:vel:R:3 pbc="T T T" frame=k
        Ar x y z vx vy vz
        ...

    Every particle gets the chemical symbol `species`. Numbers are written with
    17 significant digits, so they read back exactly.
    """
    if not isinstance(movie, Movie):
        movie = read_movie(movie, nr_particles)
    if not species or any(c.isspace() for c in species) or '"' in species:
        raise ValueError(f"species must be a non-empty name without blanks or quotes, got {species!r}")
    if isinstance(out, (str, bytes, os.PathLike)):
        with open(out, "w", encoding="ascii", newline="\n") as f:
            _write_xyz_frames(movie, f, species)
    else:
        _write_xyz_frames(movie, out, species)


def _write_xyz_frames(movie: Movie, f: TextIO, species: str) -> None:
    row = species.replace("%", "%%") + " " + " ".join(["%.17g"] * 6)
    for k in range(movie.nr_frames):
        lx, ly, lz = (repr(float(x)) for x in movie.box[k])
        f.write(f"{movie.nr_particles}\n")
        f.write(f'Lattice="{lx} 0 0 0 {ly} 0 0 0 {lz}" '
                f'Properties=species:S:1:pos:R:3:vel:R:3 pbc="T T T" frame={k}\n')
        if movie.nr_particles:
            np.savetxt(f, np.hstack([movie.positions[k], movie.velocities[k]]), fmt=row)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m vorlan.movie", description="Convert a movie file to extended XYZ.")
    parser.add_argument("movie", help="movie file written by vorlan-run --movie")
    parser.add_argument("xyz", help="extended XYZ file to write")
    parser.add_argument("--nr-particles", type=int, default=None,
                        help="particle count, for a file without header")
    parser.add_argument("--species", default="Ar", help="chemical symbol of the particles (default Ar)")
    args = parser.parse_args(argv)
    try:
        movie = read_movie(args.movie, args.nr_particles)
        write_xyz(movie, args.xyz, species=args.species)
    except (OSError, ValueError) as e:
        print(f"{parser.prog}: {e}", file=sys.stderr)
        return 1
    print(f"{args.xyz}: {movie.nr_frames} frames of {movie.nr_particles} particles")
    return 0


if __name__ == "__main__":
    sys.exit(main())
