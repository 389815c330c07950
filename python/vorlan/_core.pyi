"""Native engine of vorlan.Simulation: one Lennard-Jones box advanced step by step."""

from __future__ import annotations

from typing import Dict, List, Mapping, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

class Engine:
    """One simulation box: its Cell, its settings, the steps done and the energy log.

    Use vorlan.Simulation; this class is its native part."""

    @staticmethod
    def from_file(
        path: str,
        seed: Optional[int],
        threads: int,
        positions: Optional[NDArray[np.float64]],
        velocities: Optional[NDArray[np.float64]],
    ) -> Engine:
        """A box from a parameter file (which must exist), seeded or on the process-wide sequence."""
    @staticmethod
    def from_dict(
        entries: Mapping[str, str],
        seed: Optional[int],
        threads: int,
        positions: Optional[NDArray[np.float64]],
        velocities: Optional[NDArray[np.float64]],
    ) -> Engine:
        """A box from settings given as key -> value text."""
    @staticmethod
    def restore(
        entries: Mapping[str, str],
        state: Dict[str, object],
        threads: int,
        steps: int,
        ekin: NDArray[np.float64],
        epot: NDArray[np.float64],
        etot: NDArray[np.float64],
    ) -> Engine:
        """A box restored from checkpoint arrays (see state()), continuing bit for bit."""
    def advance(self, count: int) -> int:
        """Advances count steps with the interpreter lock released; returns the steps done.
        Ctrl-C raises KeyboardInterrupt after the step in progress."""
    @property
    def step(self) -> int:
        """Steps done."""
    @property
    def nr_particles(self) -> int:
        """Number of particles N."""
    @property
    def threads(self) -> int:
        """Team size of the parallel loops."""
    @property
    def box(self) -> Tuple[float, float, float]:
        """Box edge lengths (Lx, Ly, Lz)."""
    @property
    def ekin(self) -> float:
        """Kinetic energy."""
    @property
    def epot(self) -> float:
        """Potential energy."""
    @property
    def etot(self) -> float:
        """Total energy."""
    @property
    def virial(self) -> float:
        """Virial W = sum over pairs within rcut of r_ij . F_ij."""
    @property
    def positions(self) -> NDArray[np.float64]:
        """Positions (N, 3), wrapped into the box."""
    @property
    def velocities(self) -> NDArray[np.float64]:
        """Velocities (N, 3)."""
    @property
    def forces(self) -> NDArray[np.float64]:
        """Forces (N, 3)."""
    @property
    def images(self) -> NDArray[np.int32]:
        """Box crossings (N, 3) counted by the wrap."""
    @property
    def positions_initial(self) -> NDArray[np.float64]:
        """Start positions (N, 3)."""
    @property
    def velocities_initial(self) -> NDArray[np.float64]:
        """Start velocities (N, 3), as drawn or given."""
    def log(self) -> Tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
        """Energy log (ekin, epot, etot): three arrays, one entry per step done."""
    @property
    def parameters(self) -> Dict[str, str]:
        """Settings as key -> value text."""
    def set(self, key: str, value: str) -> None:
        """Replaces or adds one setting; the next step reads it."""
    def state(self) -> Dict[str, object]:
        """The arrays a checkpoint needs to continue bit for bit."""

def check_settings(entries: Mapping[str, str]) -> List[Tuple[str, str]]:
    """Checks settings given as key -> value text by every single-key and cross-key rule,
    without running anything. Returns a list of (key, message), empty when all is well."""

def setting_rules() -> List[Tuple[str, str, str, str]]:
    """The rules of all settings: a list of (key, type name, allowed range, meaning)."""

def check_threads(threads: int) -> int:
    """threads when it is a team size the engine allows: 0 (the runtime default) or 1 to
    max_threads(); ValueError otherwise, RuntimeError when that many threads cannot be
    started side by side here."""

def max_threads() -> int:
    """The largest team allowed: 4 threads per processor, within the OpenMP thread limit."""
