"""Frames of a trajectory in memory, whatever the file they come from or go to,
and the checks every writer applies to them."""

from __future__ import annotations

from typing import NamedTuple, Optional

import numpy as np

__all__ = ["Trajectory", "FrameSizes", "check_species", "box3", "count"]


class FrameSizes:
    """The sizes of frames held as (K, N, 3) positions: the part that every kind
    of frames (Trajectory, io.movie.Movie) shares, added to its fields."""

    __slots__ = ()
    positions: np.ndarray  # (K, N, 3)

    @property
    def nr_frames(self) -> int:
        """K, the number of frames."""
        return int(self.positions.shape[0])

    @property
    def nr_particles(self) -> int:
        """N, the number of particles of each frame."""
        return int(self.positions.shape[1])


class _TrajectoryFields(NamedTuple):
    steps: np.ndarray                  # (K,) int64 step number of each frame
    box: np.ndarray                    # (K, 3) box lengths
    positions: np.ndarray              # (K, N, 3) in [0, L)
    velocities: np.ndarray             # (K, N, 3)
    images: Optional[np.ndarray]       # (K, N, 3) int32 box crossings
    times: Optional[np.ndarray]        # (K,) simulated time
    dt: Optional[float] = None         # the time step, when the file records it
    species: Optional[list] = None     # species names, when the file records them
    types: Optional[np.ndarray] = None # (N,) int32 index into species (of the first frame)


class Trajectory(_TrajectoryFields, FrameSizes):
    """Frames of a trajectory (K frames, N particles), float64 unless stated.
    `images` and `times` are None where the file does not hold them."""

    __slots__ = ()


def box3(box, what: str = "box") -> np.ndarray:
    b = np.asarray(box, dtype=np.float64)
    if b.shape != (3,) or not (np.isfinite(b).all() and (b > 0.0).all()):
        raise ValueError(f"{what} must be three positive box lengths Lx, Ly, Lz, got {np.asarray(box).tolist()}")
    return b


def count(value, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 0:
        raise ValueError(f"{what} must be a non-negative integer, got {value!r}")
    return int(value)


def check_species(species: str) -> None:
    if (not isinstance(species, str) or not species or not species.isascii()
            or not species.isprintable() or any(c.isspace() for c in species) or '"' in species):
        raise ValueError(
            f"species must be a non-empty ASCII name without blanks or quotes, got {species!r}")
