"""vorlan: molecular dynamics of a Lennard-Jones fluid.

``Vorlan().simulate(filename)`` runs one simulation from a key = value parameter
file and returns a dictionary with the energies after every step and the initial
and final configurations as NumPy arrays.

``Simulation(params)`` holds a simulation between calls: ``run(n)`` advances it
by n steps, with observables (temperature, pressure), the energy log, callbacks,
progress, seeds, its own thread count, start states and checkpoints.

``method=`` and ``barostat=`` choose the ensemble: ``NVE``, ``Berendsen`` (the
default), ``Langevin``, ``Bussi``, ``NoseHoover``, with an optional ``CRescale``
barostat (``vorlan.methods``).

``sweep(base, grid)`` runs many simulations (a grid of settings, replicas) on a
process pool or a Dask cluster and returns a pandas table.
"""

from typing import TYPE_CHECKING, Any

from .methods import NVE, Berendsen, Bussi, CRescale, Langevin, NoseHoover
from .vorlan import Vorlan

if TYPE_CHECKING:
    from .io.parameter_file import read_params, write_params
    from .simulation import Simulation
    from .sweeps import sweep

__all__ = [
    "NVE",
    "Berendsen",
    "Bussi",
    "CRescale",
    "Langevin",
    "NoseHoover",
    "Simulation",
    "Vorlan",
    "read_params",
    "sweep",
    "write_params",
]


def __getattr__(name: str) -> Any:
    # Simulation (and with it the nanobind module vorlan._core), the sweeps
    # (pandas) and the parameter-file helpers load on first use, so that importing vorlan.vorlan
    # alone loads nothing else.
    if name == "Simulation":
        from .simulation import Simulation

        return Simulation
    if name in ("read_params", "write_params"):
        from .io import parameter_file

        return getattr(parameter_file, name)
    if name == "sweep":
        from .sweeps import sweep

        return sweep
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
