"""Physical units: reduced Lennard-Jones numbers to laboratory ones and back.

The engine works in reduced units, in which one species has sigma = epsilon =
mass = 1 (and k_B = 1). A real substance fixes the three: sigma in angstrom,
epsilon / k_B in kelvin and the mass in atomic mass units. Every other unit
follows from them:

    length       sigma                       angstrom
    time         tau = sigma sqrt(m / eps)   picoseconds
    temperature  eps / k_B                   kelvin
    energy       eps                         kJ/mol
    pressure     eps / sigma^3               MPa
    density      m / sigma^3                 g/cm^3 (mass density)
    number_density 1 / sigma^3               nm^-3
    velocity     sigma / tau                 angstrom/ps
    mass         m                           u

For argon (sigma = 3.405 A, eps/k_B = 119.8 K, m = 39.948 u) tau = 2.16 ps, so a
reduced time step of 0.005 is 10.8 fs, and the reduced temperature 0.722 is
86.5 K, near argon's triple point::

    ar = vorlan.units.Units("argon")
    ar.to_physical("temperature", 0.722)   # 86.5 (K)
    ar.to_reduced("pressure", 0.1)         # MPa -> reduced
    ar.to_reduced("length", positions_in_angstrom)

The table SPECIES holds the Lennard-Jones parameters of argon, krypton, xenon
and methane fitted to second virial coefficients, from J. O. Hirschfelder, C.
F. Curtiss and R. B. Bird, Molecular Theory of Gases and Liquids (Wiley, New
York, 1954), Table I-A; masses are IUPAC standard atomic weights. Such
effective parameters reproduce the liquid within a few per cent; a study that
needs more picks its own, e.g. ``Units(Species("Ar", 3.4, 120.0, 39.948))``
(A. Rahman, Phys. Rev. 136, A405 (1964)).
"""

from __future__ import annotations

import math
import numbers
from typing import Any, Dict, NamedTuple, Union

import numpy as np

__all__ = ["Species", "SPECIES", "Units", "QUANTITIES", "K_B", "N_A", "AMU"]

# CODATA 2018 exact values (SI since 2019) and the atomic mass constant
K_B = 1.380649e-23         # Boltzmann constant, J/K
N_A = 6.02214076e23        # Avogadro constant, 1/mol
AMU = 1.66053906660e-27    # atomic mass constant, kg
ANGSTROM = 1e-10           # m


class Species(NamedTuple):
    """Lennard-Jones parameters of one substance."""

    name: str
    sigma: float    # angstrom
    epsilon: float  # epsilon / k_B, kelvin
    mass: float     # atomic mass units (g/mol)
    source: str = ""  # where the numbers come from


_HCB = "Hirschfelder, Curtiss & Bird (1954), Table I-A, second virial coefficients"

SPECIES: Dict[str, Species] = {
    "argon": Species("Ar", 3.405, 119.8, 39.948, _HCB),
    "krypton": Species("Kr", 3.60, 171.0, 83.798, _HCB),
    "xenon": Species("Xe", 4.10, 221.0, 131.293, _HCB),
    "methane": Species("CH4", 3.817, 148.2, 16.043, _HCB + "; united atom"),
}

# Physical unit of each quantity, as the conversions give it.
QUANTITIES: Dict[str, str] = {
    "length": "angstrom",
    "time": "ps",
    "temperature": "K",
    "energy": "kJ/mol",
    "pressure": "MPa",
    "density": "g/cm^3",
    "number_density": "nm^-3",
    "velocity": "angstrom/ps",
    "mass": "u",
}


def _lookup(species: Union[str, Species]) -> Species:
    if isinstance(species, Species):
        return species
    key = str(species).lower()
    for name, s in SPECIES.items():
        if key in (name, s.name.lower()):
            return s
    raise ValueError(f"species = {species!r} is not in the table: known are "
                     f"{', '.join(SPECIES)}; give Species(name, sigma, epsilon, mass) for another")


class Units:
    """The reduced units of one reference species and their laboratory values.

    `species` is a name of the table SPECIES ("argon" or "Ar", ...) or a
    ``Species``. ``scale(q)`` is the laboratory value of one reduced unit of the
    quantity q (see QUANTITIES); ``to_physical`` multiplies by it, ``to_reduced``
    divides, for numbers and NumPy arrays alike.
    """

    def __init__(self, species: Union[str, Species]):
        s = _lookup(species)
        for what, value in (("sigma", s.sigma), ("epsilon", s.epsilon), ("mass", s.mass)):
            if (not isinstance(value, numbers.Real) or isinstance(value, (bool, np.bool_))
                    or not (math.isfinite(value) and value > 0.0)):
                raise ValueError(f"{what} = {value!r} of species {s.name!r} is not allowed: it must be a positive "
                                 "number")
        s = s._replace(sigma=float(s.sigma), epsilon=float(s.epsilon), mass=float(s.mass))
        self.species = s  # the reference species (sigma = epsilon = mass = 1 in reduced units)
        try:
            self._scales = self._unit_scales(s)
        except (ArithmeticError, ValueError):
            bad = None
        else:
            bad = next((q for q, x in self._scales.items() if not (math.isfinite(x) and x > 0.0)), "")
        if bad != "":
            raise ValueError(f"species {s.name!r} (sigma = {s.sigma} A, epsilon/k_B = {s.epsilon} K, mass = "
                             f"{s.mass} u) is not allowed: its unit of {bad or 'some quantity'} is beyond the range "
                             "of a double; give laboratory values of a substance")

    @staticmethod
    def _unit_scales(s: Species) -> Dict[str, float]:
        sigma = s.sigma * ANGSTROM            # m
        eps = s.epsilon * K_B                 # J
        mass = s.mass * AMU                   # kg
        tau = sigma * math.sqrt(mass / eps)   # s
        return {
            "length": s.sigma,
            "time": tau * 1e12,
            "temperature": s.epsilon,
            "energy": eps * N_A * 1e-3,
            "pressure": eps / sigma**3 * 1e-6,
            "density": mass / sigma**3 * 1e-3,
            "number_density": 1.0 / (s.sigma * 0.1) ** 3,
            "velocity": s.sigma / (tau * 1e12),
            "mass": s.mass,
        }

    def scale(self, quantity: str) -> float:
        """The laboratory value, in QUANTITIES[quantity], of one reduced unit."""
        try:
            return self._scales[quantity]
        except KeyError:
            raise ValueError(f"quantity = {quantity!r} is not allowed: the quantities are "
                             f"{', '.join(QUANTITIES)}") from None

    def to_physical(self, quantity: str, value: Any) -> Any:
        """A reduced value (number or array) in laboratory units."""
        return _times(value, self.scale(quantity))

    def to_reduced(self, quantity: str, value: Any) -> Any:
        """A laboratory value (number or array, in QUANTITIES[quantity]) in reduced units."""
        return _over(value, self.scale(quantity))

    def relative(self, other: Union[str, Species]) -> Dict[str, float]:
        """Another species' sigma, epsilon and mass in these reduced units, for
        the ``pairs`` and ``masses`` of a mixture (e.g. krypton in argon units)."""
        o = Units(other).species  # checked as a reference species is
        out = {"sigma": o.sigma / self.species.sigma, "epsilon": o.epsilon / self.species.epsilon,
               "mass": o.mass / self.species.mass}
        for key, x in out.items():
            if not (math.isfinite(x) and x > 0.0):
                raise ValueError(f"{key} of {o.name!r} is {x} in the units of {self.species.name!r}: beyond the "
                                 "range of a double")
        return out

    def __repr__(self) -> str:
        s = self.species
        return f"Units({s.name}: sigma = {s.sigma} A, epsilon/k_B = {s.epsilon} K, mass = {s.mass} u)"


def _times(value: Any, factor: float) -> Any:
    return np.multiply(value, factor) if np.ndim(value) else float(value) * factor


def _over(value: Any, factor: float) -> Any:
    return np.divide(value, factor) if np.ndim(value) else float(value) / factor
