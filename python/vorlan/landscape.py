"""The potential energy landscape along a run: inherent structures, the local
minima that steepest descent (here FIRE) reaches from configurations sampled
by the dynamics (F. H. Stillinger and T. A. Weber, Phys. Rev. A 25, 978 (1982)).
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np

from .params import check_count

__all__ = ["InherentStructures", "inherent_structures"]


class InherentStructures(NamedTuple):
    """One row per minimised configuration."""

    step: np.ndarray        # (M,) the step of the configuration
    energy: np.ndarray      # (M,) potential energy per particle at the minimum
    fmax: np.ndarray        # (M,) largest force left
    steps: np.ndarray       # (M,) FIRE iterations
    converged: np.ndarray   # (M,) bool
    positions: Any          # (M, N, 3) the minima, when keep_positions, else None


def inherent_structures(sim: Any, steps: int, *, every: int, fmax: float = 1e-8, max_steps: int = 10_000,
                        keep_positions: bool = False, **fire: float) -> InherentStructures:
    """Runs `sim` for `steps` steps and, every `every` steps, minimises a copy of
    its state (``Simulation.minimize`` with `fmax`, `max_steps` and the other
    FIRE settings): the live simulation goes on exactly as ``sim.run(steps)``
    would. Unconverged minimisations are kept and flagged in ``converged``."""
    check_count("every", every, 1)
    rows: list = []

    def quench(s: Any) -> None:
        copy = s.copy()
        r = copy.minimize(fmax=fmax, max_steps=max_steps, **fire)
        rows.append((s.step, r.energy_per_particle, r.fmax, r.steps, r.converged,
                     copy.positions if keep_positions else None))

    sim.run(steps, every=every, callback=quench)
    columns: list = list(zip(*rows)) if rows else [()] * 6
    return InherentStructures(np.array(columns[0], dtype=np.int64), np.array(columns[1], dtype=np.float64),
                              np.array(columns[2], dtype=np.float64), np.array(columns[3], dtype=np.int64),
                              np.array(columns[4], dtype=bool),
                              np.array(columns[5]) if keep_positions and rows else None)
