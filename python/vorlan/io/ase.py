"""ASE export: one frame as an ``ase.Atoms`` (``pip install 'vorlan[ase]'``)."""

from __future__ import annotations

from typing import Any, Optional, Sequence, Union

import numpy as np

from .._optional import require
from .frames import check_species

__all__ = ["atoms", "to_ase"]


def atoms(box: Any, positions: Any, velocities: Any, *, species: Union[str, Sequence[str]] = "Ar",
          mass: Any = 1.0, info: Optional[dict] = None) -> Any:
    """An ase.Atoms of one frame: the orthorhombic periodic cell `box` (Lx, Ly,
    Lz), every particle of `species` (one name, or one per particle) with mass
    `mass` (one, or one per particle), so that get_velocities() returns
    `velocities` (reduced LJ units read as ASE's units). Names that are not
    chemical symbols ("A", "B") become ASE's dummy atom X; the names are kept
    in the array ``species`` of the Atoms."""
    ase = require("ase", extra="ase", purpose="ASE export")
    from ase.data import chemical_symbols

    n = len(positions)
    names = [species] * n if isinstance(species, str) else [str(s) for s in species]
    for name in set(names):
        check_species(name)
    symbols = [s if s in chemical_symbols else "X" for s in names]
    a = ase.Atoms(symbols=symbols, positions=np.array(positions, dtype=np.float64),
                  cell=np.diag(np.asarray(box, dtype=np.float64)), pbc=True)
    if symbols != names:
        a.new_array("species", np.array(names, dtype=str))
    a.set_masses(np.broadcast_to(np.asarray(mass, dtype=np.float64), (n,)).copy())
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
