"""vorlan: molecular dynamics of a Lennard-Jones fluid.

``Vorlan().simulate(filename)`` runs one simulation from a key = value parameter
file and returns a dictionary with the energies after every step and the initial
and final configurations as NumPy arrays.

``Simulation(params)`` holds a simulation between calls: ``run(n)`` advances it
by n steps, with observables (temperature, pressure), the energy log, callbacks,
progress, seeds, its own thread count, start states and checkpoints.
"""

from typing import TYPE_CHECKING, Any

from .vorlan import Vorlan

if TYPE_CHECKING:
    from .params import read_params, write_params
    from .simulation import Simulation

__all__ = ["Simulation", "Vorlan", "read_params", "write_params"]


def __getattr__(name: str) -> Any:
    # Simulation (and with it the nanobind module vorlan._core) and the
    # parameter-file helpers load on first use, so that importing vorlan.vorlan
    # alone loads nothing else.
    if name == "Simulation":
        from .simulation import Simulation

        return Simulation
    if name in ("read_params", "write_params"):
        from . import params

        return getattr(params, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
