"""Type stub of the hand-written extension module vorlan.vorlan (vorlan.cpp)."""

from typing import Any, Dict, Union

class Vorlan:
    """Runs one whole simulation per call."""

    def simulate(self, filename: Union[str, bytes, bytearray]) -> Dict[str, Any]:
        """Runs the simulation of the parameter file `filename` and returns ekin,
        epot, etot (lists of floats, one per step), nrsteps, nrparticles and the
        positions, velocities, positions_initial, velocities_initial (N, 3)."""
