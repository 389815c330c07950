"""Mixtures: species, their masses and the Lennard-Jones parameters of every
pair of species, checked and completed into the tables the engine reads.

Each pair of species (a, b) interacts through its own truncated and shifted
Lennard-Jones potential,

    u_ab(r) = 4 eps_ab [ (s_ab/r)^12 - (s_ab/r)^6 - ((s_ab/rc_ab)^12 - (s_ab/rc_ab)^6) ]   r < rc_ab,

shifted to zero at its own cut-off. A cross pair not given follows the
Lorentz-Berthelot rules, s_ab = (s_aa + s_bb) / 2 and eps_ab = sqrt(eps_aa
eps_bb) (H. A. Lorentz, Ann. Phys. 248, 127 (1881); D. Berthelot, C. R. Acad.
Sci. 126, 1703 (1898)), with the parameter set's `rcut`. The Kob-Andersen
mixture (Phys. Rev. E 51, 4626 (1995)) departs from them on purpose: eps_AB =
1.5, s_AB = 0.8 make A and B mix rather than separate, and the customary
cut-offs are 2.5 s_ab.
"""

from __future__ import annotations

import math
from typing import Any, Callable, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from .io.frames import check_species
from .params import check_positive

__all__ = ["PairTable", "pair_table", "species_masses", "masses_by_name", "check_types", "KOB_ANDERSEN", "species_names",
           "engine_tables"]

# The Kob-Andersen 80:20 binary mixture, in units of the A-A pair.
KOB_ANDERSEN: Dict[Tuple[str, str], Dict[str, float]] = {
    ("A", "A"): dict(epsilon=1.0, sigma=1.0, rcut=2.5),
    ("A", "B"): dict(epsilon=1.5, sigma=0.8, rcut=2.0),
    ("B", "B"): dict(epsilon=0.5, sigma=0.88, rcut=2.2),
}


class PairTable(NamedTuple):
    """Symmetric S x S tables of the pair parameters, species in order."""

    epsilon: np.ndarray  # well depth eps_ab
    sigma: np.ndarray    # size s_ab
    rcut: np.ndarray     # cut-off radius rc_ab


def species_names(species: Any) -> List[str]:
    """`species` as a list of distinct valid names (ValueError otherwise)."""
    if isinstance(species, str) or not isinstance(species, Sequence) and not isinstance(species, np.ndarray):
        raise ValueError(f"species = {species!r} is not allowed: give a list of names, e.g. ['A', 'B']")
    names = [str(s) for s in species]
    if not names:
        raise ValueError("species is empty: give at least one name")
    for s in names:
        check_species(s)
    seen = set()
    for s in names:
        if s in seen:
            raise ValueError(f"species names {s!r} twice: every species needs a name of its own")
        seen.add(s)
    return names


def pair_species(key: Any, names: Sequence[str]) -> Tuple[str, str]:
    """The two species of a `pairs` key; ValueError unless it is a pair of `names`."""
    if isinstance(key, str) or not isinstance(key, (tuple, list)) or len(key) != 2:
        raise ValueError(f"pairs key {key!r} is not allowed: give a pair of species names, e.g. ('A', 'B')")
    a, b = (str(x) for x in key)
    for s in (a, b):
        if s not in names:
            raise ValueError(f"pair ({a}, {b}) names the species {s!r}, which is not among the species {list(names)}")
    return a, b


def pair_table(species: Sequence[str], pairs: Optional[Mapping[Any, Mapping[str, Any]]], *, sigma: float,
               epsilon: float, rcut: float) -> PairTable:
    """The pair tables of `species` from `pairs`, a mapping ``(a, b) ->
    dict(epsilon=..., sigma=..., rcut=...)`` (rcut optional: the parameter
    set's). Without `pairs` every pair takes the parameter set's `sigma`,
    `epsilon` and `rcut`. With `pairs`, every species needs its like pair (a, a);
    cross pairs not given follow the Lorentz-Berthelot rules. ValueError names
    the pair or species at fault."""
    names = list(species)
    index = {s: k for k, s in enumerate(names)}
    n = len(names)
    eps = np.full((n, n), np.nan)
    sig = np.full((n, n), np.nan)
    rc = np.full((n, n), np.nan)
    default_rcut = check_positive("rcut", rcut)
    if pairs is None:
        eps[:] = check_positive("epsilon", epsilon)
        sig[:] = check_positive("sigma", sigma)
        rc[:] = default_rcut
        return PairTable(eps, sig, rc)
    if not isinstance(pairs, Mapping):
        raise ValueError(f"pairs = {pairs!r} is not allowed: give a mapping (a, b) -> dict(epsilon, sigma, rcut)")
    for key, values in pairs.items():
        a, b = pair_species(key, names)
        if not isinstance(values, Mapping):
            raise ValueError(f"pair ({a}, {b}) = {values!r} is not allowed: give dict(epsilon=..., sigma=..., rcut=...)")
        unknown = set(values) - {"epsilon", "sigma", "rcut"}
        if unknown or not {"epsilon", "sigma"} <= set(values):
            raise ValueError(f"pair ({a}, {b}) has the keys {sorted(values)}: epsilon and sigma are needed, "
                             "rcut may be given, nothing else")
        i, j = index[a], index[b]
        if not np.isnan(eps[i, j]):
            raise ValueError(f"pair ({a}, {b}) is given twice (as ({a}, {b}) and ({b}, {a}))")
        eps[i, j] = eps[j, i] = check_positive(f"epsilon of pair ({a}, {b})", values["epsilon"])
        sig[i, j] = sig[j, i] = check_positive(f"sigma of pair ({a}, {b})", values["sigma"])
        rc[i, j] = rc[j, i] = (check_positive(f"rcut of pair ({a}, {b})", values["rcut"]) if "rcut" in values
                               else default_rcut)
    for k, s in enumerate(names):
        if np.isnan(eps[k, k]):
            raise ValueError(f"species {s!r} has no parameters: give pairs[({s!r}, {s!r})] = dict(epsilon=..., "
                             "sigma=...); the mixing rule completes only cross pairs")
    for i in range(n):
        for j in range(i + 1, n):
            if np.isnan(eps[i, j]):  # Lorentz-Berthelot
                eps[i, j] = eps[j, i] = math.sqrt(eps[i, i] * eps[j, j])
                sig[i, j] = sig[j, i] = 0.5 * (sig[i, i] + sig[j, j])
                rc[i, j] = rc[j, i] = default_rcut
    return PairTable(eps, sig, rc)


def masses_by_name(species: Sequence[str], masses: Any) -> Dict[str, Any]:
    """`masses` as species name -> mass: a mapping keyed by the names (an
    integer key k stands for the species named "k", as the type numbers of a
    LAMMPS start are named), or a sequence of one mass per species in order.
    A key that names no species, a name given twice or text in place of the
    masses is a ValueError."""
    names = list(species)
    if isinstance(masses, (str, bytes)):
        raise ValueError(f"masses = {masses!r} is not allowed: give a mapping species name -> mass or one mass "
                         f"per species {names}")
    if isinstance(masses, Mapping):
        out: Dict[str, Any] = {}
        for key, m in masses.items():
            if isinstance(key, (bool, np.bool_)) or not isinstance(key, (str, int, np.integer)):
                raise ValueError(f"masses key {key!r} is not allowed: the keys are species names {names}")
            name = str(int(key)) if isinstance(key, (int, np.integer)) else key
            if name not in names:
                raise ValueError(f"masses names the species {key!r}, which is not among the species {names}")
            if name in out:
                raise ValueError(f"masses gives the mass of species {name!r} twice")
            out[name] = m
        return out
    try:
        values = list(masses)
    except TypeError:
        raise ValueError(f"masses = {masses!r} is not allowed: give a mapping species name -> mass or one mass "
                         f"per species {names}") from None
    if len(values) != len(names):
        raise ValueError(f"masses has {len(values)} entries for {len(names)} species {names}: give one per species")
    return dict(zip(names, values))


def species_masses(species: Sequence[str], masses: Any, default: float) -> np.ndarray:
    """One mass per species: `masses` as ``masses_by_name`` reads it (species
    left out take `default`, the parameter set's mass), or None (all
    `default`)."""
    names = list(species)
    given = {} if masses is None else masses_by_name(names, masses)
    return np.array([check_positive(f"mass of species {s!r}", given[s]) if s in given
                     else check_positive("mass", default) for s in names])


def check_types(types: Any, species: Sequence[str], nr_particles: Optional[int] = None) -> np.ndarray:
    """`types` as an int32 array of species indices, one per particle."""
    t = np.asarray(types)
    if t.ndim != 1 or (t.size and not np.issubdtype(t.dtype, np.integer)):
        raise ValueError(f"types must be a one-dimensional array of integer species indices, got dtype {t.dtype} "
                         f"and shape {t.shape}")
    if nr_particles is not None and len(t) != nr_particles:
        raise ValueError(f"types has {len(t)} entries for {nr_particles} particles: give one per particle")
    bad = np.flatnonzero((t < 0) | (t >= len(species)))
    if bad.size:
        i = int(bad[0])
        raise ValueError(f"types[{i}] = {int(t[i])} is not allowed: particle {i} needs an index into the "
                         f"{len(species)} species {list(species)} (0 to {len(species) - 1})")
    return t.astype(np.int32)


def engine_tables(names: List[str], types: Any, masses: Any, pairs: Optional[Mapping[Any, Mapping[str, Any]]],
                  setting: Callable[[str], float], sides: Optional[np.ndarray]) -> Dict[str, Any]:
    """The engine's arrays of a mixture (types, masses, epsilon, sigma, rcut),
    checked here so that errors name the species and pairs. `setting(key)` is
    the value of a setting of the run (nr_particles, sigma, epsilon, rcut,
    cell_length, mass, each read when needed); `sides` the box, None for a cube
    of side cell_length."""
    n = int(setting("nr_particles"))
    if types is None:
        if len(names) > 1:
            raise ValueError(f"types is needed with {len(names)} species: one index into {names} per particle "
                             "(vorlan.composition deals them)")
        types = np.zeros(n, dtype=np.int32)
    t = check_types(types, names, n)
    table = pair_table(names, pairs, sigma=setting("sigma"), epsilon=setting("epsilon"), rcut=setting("rcut"))
    shortest = float(sides.min()) if sides is not None else float(setting("cell_length"))
    a, b = np.unravel_index(int(np.argmax(table.rcut)), table.rcut.shape)
    if table.rcut[a, b] > 0.5 * shortest:
        raise ValueError(f"rcut = {table.rcut[a, b]} of pair ({names[a]}, {names[b]}) is not allowed: the cut-offs "
                         f"must not exceed half the shortest box side {shortest}")
    return {"types": t, "masses": species_masses(names, masses, setting("mass")),
            "epsilon": table.epsilon, "sigma": table.sigma, "rcut": table.rcut}
