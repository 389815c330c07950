"""Pair potentials: ``vorlan.pair.LJ``, ``WCA``, ``Mie``, ``Yukawa``, ``Morse``, ``Table``.

One potential family per simulation. A one-species run takes one object,
``Simulation(params, pair=vorlan.pair.LJ(rcut=3.0, mode="none", tail_correction=True))``;
a mixture one per pair of species, ``pairs={("A", "A"): Mie(...), ("A", "B"): ..., ...}``.

The families, their parameters, the rules of the parameters, the modes and the
mixing rules come from the engine's registry (``vorlan._core.pair_families()``),
and every object is checked by the engine's own rules when it is made
(``ValueError`` naming the parameter). Modes:

- ``"shift"``: the energy minus its value at the cut-off (zero there),
- ``"none"``: truncated as it is (LJ and Mie may add the analytic tail beyond
  the cut-off with ``tail_correction=True``),
- ``"force_shift"``: u(r) - u(rc) + (r - rc) F(rc), energy and force both zero
  at the cut-off.

Mixing (``mixed``): Lorentz-Berthelot for LJ, WCA and Mie, eps_ab = sqrt(eps_a
eps_b), s_ab = (s_a + s_b) / 2, the cut-off the mean of the two (Mie's
exponents must agree); Yukawa, Morse and Table have no rule: every pair is
given. HOOMD's spelling ``r_cut`` is accepted for ``rcut``.
"""

from __future__ import annotations

import copy
import math
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from . import _core
from .mixture import pair_species

__all__ = ["LJ", "WCA", "Mie", "Yukawa", "Morse", "Table", "PairPotential", "families", "engine_pair"]

DEFAULT_RCUT = 2.5  # the cut-off of a potential given without one

_FAMILIES: Dict[str, Dict[str, Any]] = {f["name"]: f for f in _core.pair_families()}


def families() -> Dict[str, Dict[str, Any]]:
    """The engine's pair families by name: summary (formula), parameters
    [(name, rule)], modes (first the default), mixing, tail."""
    return {name: dict(f) for name, f in _FAMILIES.items()}


class PairPotential:
    """A pair potential of one pair of species: a family, its parameters, a mode."""

    family = ""

    def __init__(self, mode: Optional[str] = None, tail_correction: bool = False, **values: Any) -> None:
        spec = _FAMILIES[self.family]
        names = [name for name, _ in spec["parameters"]]
        if "rcut" in names:
            r_cut = values.pop("r_cut", None)
            if r_cut is not None and values.get("rcut") is not None:
                raise ValueError(f"{type(self).__name__}: give rcut or r_cut, not both")
            if values.get("rcut") is None:
                values["rcut"] = DEFAULT_RCUT if r_cut is None else r_cut
        unknown = set(values) - set(names)
        if unknown:
            raise ValueError(f"{type(self).__name__}: {sorted(unknown)} are not parameters of it: it has {names}")
        self._values: Dict[str, float] = {}
        for name in names:
            value = values.get(name)
            try:
                number = float(value)  # type: ignore[arg-type]
            except (TypeError, ValueError):
                raise ValueError(f"{type(self).__name__}: {name} = {value!r} is not allowed: give a number") from None
            self._values[name] = number
        self.mode = spec["modes"][0] if mode is None else str(mode)
        if not isinstance(tail_correction, (bool, np.bool_)):
            raise ValueError(f"{type(self).__name__}: tail_correction = {tail_correction!r} is not allowed: "
                             "give True or False")
        self.tail_correction = bool(tail_correction)
        self._check()

    # the engine's view: one type
    def _arrays(self) -> Optional[List[np.ndarray]]:
        return None

    def _check(self) -> None:
        try:
            _core.check_pair(engine_pair([self], 1))
        except ValueError as e:
            message = str(e).replace(" of the pair of types (0, 0)", "")
            raise ValueError(f"{type(self).__name__}: {message}") from None

    @property
    def parameters(self) -> Dict[str, float]:
        """The parameters by name (a copy)."""
        return dict(self._values)

    def with_parameter(self, name: str, value: float) -> "PairPotential":
        """A copy with one parameter set (checked by the engine's rules, as when
        made); ValueError naming a parameter the family has not."""
        if name not in self._values:
            raise ValueError(f"{type(self).__name__}: {name} is not a parameter of it: it has {list(self._values)}")
        made = copy.copy(self)
        made._values = {**self._values, name: float(value)}
        made._check()
        return made

    @property
    def rcut(self) -> float:
        """The cut-off."""
        return self._values["rcut"]

    def __getattr__(self, name: str) -> float:
        values = self.__dict__.get("_values", {})
        if name in values:
            return values[name]
        raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    def __repr__(self) -> str:
        args = [f"{k}={v!r}" for k, v in self._values.items()]
        spec = _FAMILIES[self.family]
        if len(spec["modes"]) > 1:
            args.append(f"mode={self.mode!r}")
        if self.tail_correction:
            args.append("tail_correction=True")
        return f"{type(self).__name__}({', '.join(args)})"

    def _key(self) -> Tuple[Any, ...]:
        return (self.family, self.mode, self.tail_correction, tuple(self._values.items()))

    def __eq__(self, other: Any) -> bool:
        if not isinstance(other, PairPotential):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())


class LJ(PairPotential):
    """Lennard-Jones, u = 4 epsilon [(sigma/r)^12 - (sigma/r)^6], cut at rcut;
    ``mode`` "shift" (the parameter file's potential), "none" or "force_shift"."""

    family = "lj"

    def __init__(self, epsilon: float = 1.0, sigma: float = 1.0, rcut: Optional[float] = None, mode: str = "shift",
                 tail_correction: bool = False, r_cut: Optional[float] = None) -> None:
        super().__init__(mode, tail_correction, epsilon=epsilon, sigma=sigma, rcut=rcut, r_cut=r_cut)


class WCA(PairPotential):
    """Weeks-Chandler-Andersen: LJ cut at its minimum 2^(1/6) sigma and shifted
    up by epsilon (purely repulsive)."""

    family = "wca"

    def __init__(self, epsilon: float = 1.0, sigma: float = 1.0) -> None:
        super().__init__(None, False, epsilon=epsilon, sigma=sigma)

    @property
    def rcut(self) -> float:
        return 2.0 ** (1.0 / 6.0) * self._values["sigma"]


class Mie(PairPotential):
    """Mie, u = C epsilon [(sigma/r)^n - (sigma/r)^m], C = n/(n-m) (n/m)^(m/(n-m)),
    n > m (LJ is 12-6)."""

    family = "mie"

    def __init__(self, epsilon: float = 1.0, sigma: float = 1.0, n: float = 12.0, m: float = 6.0,
                 rcut: Optional[float] = None, mode: str = "shift", tail_correction: bool = False, r_cut: Optional[float] = None) -> None:
        super().__init__(mode, tail_correction, epsilon=epsilon, sigma=sigma, n=n, m=m, rcut=rcut, r_cut=r_cut)


class Yukawa(PairPotential):
    """Screened Coulomb, u = epsilon exp(-kappa r) / r (kappa >= 0)."""

    family = "yukawa"

    def __init__(self, epsilon: float = 1.0, kappa: float = 1.0, rcut: Optional[float] = None, mode: str = "shift",
                 r_cut: Optional[float] = None) -> None:
        super().__init__(mode, False, epsilon=epsilon, kappa=kappa, rcut=rcut, r_cut=r_cut)


class Morse(PairPotential):
    """Morse, u = D0 [exp(-2 alpha (r - r0)) - 2 exp(-alpha (r - r0))]."""

    family = "morse"

    def __init__(self, D0: float = 1.0, alpha: float = 1.0, r0: float = 1.0, rcut: Optional[float] = None,
                 mode: str = "shift", r_cut: Optional[float] = None) -> None:
        super().__init__(mode, False, D0=D0, alpha=alpha, r0=r0, rcut=rcut, r_cut=r_cut)


class Table(PairPotential):
    """A tabulated potential: energy and force (-dE/dr) at evenly spaced r,
    interpolated linearly in r, cut at the last r. The engine refuses a table
    whose r is not increasing and evenly spaced, with a value that is not
    finite, or so coarse that the force does not integrate to the energy
    (trapezoid of F against the drop of E, to 1e-3 of the energy's spread).
    A pair closer than the first r stops the run at that step."""

    family = "table"

    def __init__(self, r: Any, energy: Any, force: Any) -> None:
        columns = []
        for name, values in (("r", r), ("energy", energy), ("force", force)):
            a = np.asarray(values, dtype=np.float64)
            if a.ndim != 1:
                raise ValueError(f"Table: {name} must be one-dimensional, got shape {a.shape}")
            columns.append(a)
        if not len(columns[0]) == len(columns[1]) == len(columns[2]):
            raise ValueError(f"Table: r, energy and force have {len(columns[0])}, {len(columns[1])} and "
                             f"{len(columns[2])} values: give one of each per point")
        self.r, self.energy, self.force = columns
        super().__init__(None, False)

    @classmethod
    def from_file(cls, path: str) -> "Table":
        """A table from a text file of three columns r, E, F (lines starting
        with # are comments)."""
        data = np.loadtxt(path, comments="#", ndmin=2)
        if data.shape[1] != 3:
            raise ValueError(f"{path}: a table has three columns r, energy, force; this one has {data.shape[1]}")
        return cls(data[:, 0], data[:, 1], data[:, 2])

    def _arrays(self) -> Optional[List[np.ndarray]]:
        return [np.concatenate([self.r, self.energy, self.force])]

    @property
    def rcut(self) -> float:
        return float(self.r[-1])

    def __repr__(self) -> str:
        return f"Table(<{len(self.r)} points, r from {self.r[0]} to {self.r[-1]}>)"

    def _key(self) -> Tuple[Any, ...]:
        return (self.family, self.r.tobytes(), self.energy.tobytes(), self.force.tobytes())


def mixed(a: PairPotential, b: PairPotential, names: Tuple[str, str]) -> PairPotential:
    """The cross pair of two like pairs by the family's mixing rule;
    ValueError naming the pair when the family has none or they cannot mix."""
    spec = _FAMILIES[a.family]
    pair = f"({names[0]}, {names[1]})"
    if spec["mixing"] != "lorentz-berthelot":
        raise ValueError(f"pair {pair} is not given and {type(a).__name__} has no mixing rule: give every pair "
                         "of species")
    va, vb = a.parameters, b.parameters
    if a.family == "mie" and (va["n"] != vb["n"] or va["m"] != vb["m"]):
        raise ValueError(f"pair {pair} is not given and cannot be mixed: the Mie exponents of "
                         f"({names[0]}, {names[0]}) and ({names[1]}, {names[1]}) differ; give the pair")
    values = dict(va)
    values["epsilon"] = math.sqrt(va["epsilon"] * vb["epsilon"])
    values["sigma"] = 0.5 * (va["sigma"] + vb["sigma"])
    if "rcut" in values:
        values["rcut"] = 0.5 * (va["rcut"] + vb["rcut"])
    kwargs: Dict[str, Any] = dict(values)
    if a.family != "wca":
        kwargs.update(mode=a.mode)
        if a.tail_correction:
            kwargs.update(tail_correction=True)
    return type(a)(**kwargs)


def engine_pair(pairs: Sequence[PairPotential], nr_types: int) -> Dict[str, Any]:
    """The engine's dict of S x S pair objects (row-major, symmetric)."""
    first = pairs[0]
    spec = _FAMILIES[first.family]
    names = [name for name, _ in spec["parameters"]]
    values = np.array([[p.parameters[name] for name in names] for p in pairs], dtype=np.float64).ravel()
    out: Dict[str, Any] = {"family": first.family, "mode": first.mode, "nr_types": nr_types, "values": values,
                           "tail": first.tail_correction}
    arrays = [p._arrays() for p in pairs]
    if arrays[0] is not None:
        out["arrays"] = [a[0] for a in arrays if a is not None]
    return out


def pair_matrix(names: Sequence[str], pairs: Mapping[Any, Any]) -> List[PairPotential]:
    """The S x S pair objects of the species `names` from `pairs` ((a, b) ->
    PairPotential), cross pairs not given mixed; ValueError naming the pair at
    fault (one family and one mode for all, every like pair given)."""
    names = list(names)
    index = {s: k for k, s in enumerate(names)}
    n = len(names)
    table: List[Optional[PairPotential]] = [None] * (n * n)
    first: Optional[PairPotential] = None
    for key, value in pairs.items():
        a, b = pair_species(key, names)
        if not isinstance(value, PairPotential):
            raise ValueError(f"pair ({a}, {b}) = {value!r} is not allowed: give a vorlan.pair potential for every "
                             "pair, or dicts of Lennard-Jones parameters for every pair")
        first = first or value
        if value.family != first.family:
            raise ValueError(f"pair ({a}, {b}) is {type(value).__name__}, another pair {type(first).__name__}: "
                             "one potential family per simulation")
        if value.mode != first.mode or value.tail_correction != first.tail_correction:
            raise ValueError(f"pair ({a}, {b}) has mode {value.mode!r} (tail_correction={value.tail_correction}), "
                             f"another pair {first.mode!r} (tail_correction={first.tail_correction}): one mode "
                             "per simulation")
        i, j = index[a], index[b]
        if table[i * n + j] is not None:
            raise ValueError(f"pair ({a}, {b}) is given twice (as ({a}, {b}) and ({b}, {a}))")
        table[i * n + j] = table[j * n + i] = value
    for k, s in enumerate(names):
        if table[k * n + k] is None:
            raise ValueError(f"species {s!r} has no pair potential: give pairs[({s!r}, {s!r})]; the mixing rule "
                             "completes only cross pairs")
    for i in range(n):
        for j in range(i + 1, n):
            if table[i * n + j] is None:
                m = mixed(table[i * n + i], table[j * n + j], (names[i], names[j]))  # type: ignore[arg-type]
                table[i * n + j] = table[j * n + i] = m
    return table  # type: ignore[return-value]
