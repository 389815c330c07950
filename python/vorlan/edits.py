"""What a live edit of a ``Simulation`` checks and hands to the engine, the
centre-of-mass motion of supplied velocities, the result of a minimisation and
the observations a run records.

An edit (``sim.positions = x``, ``sim.velocities = v``, ``sim.box = L``,
``scale_box``) is held to the checks of a start: N rows of three finite numbers,
positions no more than a million box lengths out (then wrapped into the box),
box sides finite, positive and at least twice the largest cut-off, and no pair
of particles closer than ``OVERLAP_LIMIT`` times the sigma of their pair unless
the check is lifted. The engine then builds the neighbour list anew and
evaluates the forces, so that the next step starts as from a fresh start at the
edited state.
"""

from __future__ import annotations

import warnings
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Tuple

import numpy as np

__all__ = ["OVERLAP_LIMIT", "rows", "box_edges", "centre_of_mass_velocity", "momentum_free", "MinimizeResult",
           "observe_counts", "Observations"]

# Closest approach an edit accepts, in units of the pair's sigma: at 0.5 sigma the
# pair energy is 4 (2^12 - 2^6) = 16128 epsilon and the force 4e5 epsilon/sigma,
# beyond what a time step of MD integrates.
OVERLAP_LIMIT = 0.5

# Centre-of-mass velocity below this fraction of the rms speed is rounding (the
# engine's own velocities carry ~1e-16): left alone, so that velocities read from
# a run restart bit for bit.
NEGLIGIBLE_DRIFT = 1e-10


def rows(values: Any, n: int, what: str) -> np.ndarray:
    """`values` as a C-contiguous float64 (n, 3) array; ValueError naming `what`
    when it is not numbers of that shape (finiteness is the engine's check)."""
    try:
        a = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be numbers of shape ({n}, 3)") from None
    if a.shape != (n, 3):
        raise ValueError(f"{what} has shape {a.shape}, expected ({n}, 3): one row (x, y, z) per particle, "
                         "and the number of particles cannot change")
    return np.ascontiguousarray(a)


def box_edges(box: Any) -> np.ndarray:
    """(Lx, Ly, Lz) of three sides or one side of a cube, float64; ValueError
    otherwise (finite and positive are the engine's check)."""
    try:
        a = np.asarray(box, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"box = {box!r} is not allowed: give three side lengths (Lx, Ly, Lz) or one") from None
    if a.ndim == 0:
        a = np.full(3, float(a))
    if a.shape != (3,):
        raise ValueError(f"box = {box!r} is not allowed: give three side lengths (Lx, Ly, Lz) or one")
    return np.ascontiguousarray(a)


def centre_of_mass_velocity(velocities: np.ndarray, masses: np.ndarray) -> np.ndarray:
    """sum(m v) / sum(m)."""
    return masses @ velocities / masses.sum()


def momentum_free(velocities: np.ndarray, masses: np.ndarray, *, stacklevel: int = 2) -> Optional[np.ndarray]:
    """The velocities with their centre-of-mass motion removed, with a warning
    that says how much; None when it is only rounding (NEGLIGIBLE_DRIFT)."""
    if len(velocities) < 2:
        return None
    centre = centre_of_mass_velocity(velocities, masses)
    rms = float(np.sqrt(np.mean(np.sum(velocities * velocities, axis=1))))
    if not float(np.linalg.norm(centre)) > NEGLIGIBLE_DRIFT * rms:
        return None
    warnings.warn(f"the supplied velocities carry a net momentum (centre-of-mass velocity {centre.tolist()}): "
                  "removed, since every method keeps the total momentum at zero and counts 3N - 3 degrees of "
                  "freedom; zero_momentum=False keeps it", UserWarning, stacklevel=stacklevel + 1)
    return velocities - centre


class MinimizeResult(NamedTuple):
    """The outcome of ``Simulation.minimize``."""

    energy: float      # potential energy at the end
    fmax: float        # largest force on one particle at the end
    steps: int         # FIRE iterations done
    converged: bool    # fmax reached the target
    reason: str        # "converged", "max_steps" (out of iterations) or "uphill" (2000 uphill in a row)
    nr_particles: int  # N, for the energy per particle

    @property
    def energy_per_particle(self) -> float:
        return self.energy / self.nr_particles

    def __repr__(self) -> str:
        return (f"MinimizeResult(energy={self.energy:.12g}, energy_per_particle={self.energy_per_particle:.12g}, "
                f"fmax={self.fmax:.3g}, steps={self.steps}, converged={self.converged}, reason={self.reason!r})")


def observe_counts(observe: Optional[Mapping[str, Any]], names: List[str]) -> Dict[str, int]:
    """observe= of run(): name -> every k, each name one of `names` and k >= 1."""
    from .params import check_count

    if observe is None:
        return {}
    if not isinstance(observe, Mapping):
        raise TypeError(f"observe = {observe!r} is not allowed: give a mapping name -> every k steps")
    out: Dict[str, int] = {}
    for name, every in observe.items():
        if name not in names:
            raise ValueError(f"observe: {name!r} is not a quantity of a Simulation; it records {', '.join(names)}")
        out[name] = check_count(f"observe[{name!r}]", every, 1)
    return out


class Observations(dict):
    """name -> (steps, values) recorded by runs with ``observe=``: two arrays, the
    step numbers and the values stacked along a first axis."""

    def record(self, name: str, step: int, value: Any) -> None:
        steps, values = self.setdefault(name, ([], []))  # type: ignore[misc]
        steps.append(step)
        values.append(np.array(value, copy=True))

    def arrays(self) -> Dict[str, Tuple[np.ndarray, np.ndarray]]:
        return {name: (np.array(s, dtype=np.int64), np.array(v)) for name, (s, v) in self.items()}
