"""vorlan: molecular dynamics of a Lennard-Jones fluid.

``Vorlan().simulate(filename)`` runs one simulation from a key = value parameter
file and returns a dictionary with the energies after every step and the initial
and final configurations as NumPy arrays.
"""

from .params import read_params, write_params
from .vorlan import Vorlan

__all__ = ["Vorlan", "read_params", "write_params"]
