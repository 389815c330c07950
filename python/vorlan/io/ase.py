"""ASE export: one frame as an ``ase.Atoms`` (``pip install 'vorlan[ase]'``)."""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

from .._optional import require
from .frames import check_species

__all__ = ["atoms", "to_ase"]


def atoms(box: Any, positions: Any, velocities: Any, *, species: str = "Ar", mass: float = 1.0,
          info: Optional[dict] = None) -> Any:
    """An ase.Atoms of one frame: the orthorhombic periodic cell `box` (Lx, Ly,
    Lz), every particle of `species` with mass `mass`, so that get_velocities()
    returns `velocities` (reduced LJ units read as ASE's units)."""
    ase = require("ase", extra="ase", purpose="ASE export")
    check_species(species)
    n = len(positions)
    a = ase.Atoms(symbols=[species] * n, positions=np.array(positions, dtype=np.float64),
                  cell=np.diag(np.asarray(box, dtype=np.float64)), pbc=True)
    a.set_masses(np.full(n, float(mass)))
    a.set_velocities(np.array(velocities, dtype=np.float64))
    a.info.update(info or {})
    return a


def to_ase(movie: Any, frame: int = -1, *, species: str = "Ar", mass: float = 1.0,
           nr_particles: Optional[int] = None) -> Any:
    """Frame `frame` (default the last) of `movie` (a Movie or a movie file's path)
    as an ase.Atoms with the box as its cell, periodic in x, y and z, and the
    velocities. Masses are `mass` (default 1, the reduced unit), so that
    atoms.get_velocities() gives the stored velocities exactly."""
    from .movie import Movie, read_movie

    require("ase", extra="ase", purpose="ASE export")
    if not isinstance(movie, Movie):
        movie = read_movie(movie, nr_particles)
    k = int(frame)
    if not -movie.nr_frames <= k < movie.nr_frames:
        raise IndexError(f"frame = {frame} is out of range for a movie of {movie.nr_frames} frames")
    k %= movie.nr_frames
    return atoms(movie.box[k], movie.positions[k], movie.velocities[k], species=species, mass=mass,
                 info={"frame": k})
