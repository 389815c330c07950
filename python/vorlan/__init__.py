"""vorlan: molecular dynamics of a Lennard-Jones fluid.

``Vorlan().simulate(filename)`` runs one simulation from a key = value parameter
file and returns a dictionary with the energies after every step and the initial
and final configurations as NumPy arrays.
"""

from typing import Any

from .vorlan import Vorlan

__all__ = ["Vorlan", "read_params", "write_params"]


def __getattr__(name: str) -> Any:
    # the parameter-file helpers load on first use: importing vorlan.vorlan alone
    # loads nothing but the extension module
    if name in ("read_params", "write_params"):
        from . import params

        return getattr(params, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
