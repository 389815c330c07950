"""Frames of a trajectory in memory, whatever the file they come from or go to,
and the checks every writer applies to them."""

from __future__ import annotations

from typing import NamedTuple, Optional

import numpy as np

__all__ = ["Trajectory", "check_species", "box3", "count"]


class Trajectory(NamedTuple):
    """Frames of a trajectory (K frames, N particles), float64 unless stated.
    `images` and `times` are None where the file does not hold them."""

    steps: np.ndarray                  # (K,) int64 step number of each frame
    box: np.ndarray                    # (K, 3) box lengths
    positions: np.ndarray              # (K, N, 3) in [0, L)
    velocities: np.ndarray             # (K, N, 3)
    images: Optional[np.ndarray]       # (K, N, 3) int32 box crossings
    times: Optional[np.ndarray]        # (K,) simulated time
    dt: Optional[float] = None         # the time step, when the file records it

    @property
    def nr_frames(self) -> int:
        return self.positions.shape[0]

    @property
    def nr_particles(self) -> int:
        return self.positions.shape[1]


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
