"""System descriptions: the species, pairs and start of a run, in a small TOML
or JSON file beside the parameter file (``vorlan run liquid.par --system
ka.toml``). The parameter file keeps the run settings (kT, stepsize, ...); the
description says what is in the box. For the Kob-Andersen mixture::

    # ka.toml
    [species]
    A = { fraction = 0.8, mass = 1.0 }
    B = { fraction = 0.2, mass = 1.0 }

    [[pair]]
    between = ["A", "A"]
    epsilon = 1.0
    sigma = 1.0
    rcut = 2.5

    [[pair]]
    between = ["A", "B"]
    epsilon = 1.5
    sigma = 0.8
    rcut = 2.0

    [[pair]]
    between = ["B", "B"]
    epsilon = 0.5
    sigma = 0.88
    rcut = 2.2

    [start]
    random = 1000          # or lattice = "fcc" with cells = 6, or file = "start.gsd" (frame = -1)
    density = 1.2
    min_distance = 0.75
    seed = 7               # positions and the placement of the species

A pair may name another potential of ``vorlan.pair`` with ``potential`` (lj,
wca, mie, yukawa, morse, table) and give that family's parameters and
``mode``; a tabulated pair reads ``file = "pair.table"`` (columns r, E, F,
relative to the description). One ``[pair]`` table instead of ``[[pair]]``
entries is the potential of every like pair, cross pairs mixed::

    [pair]
    potential = "mie"
    n = 14
    m = 7
    rcut = 2.5

All pairs of a description take one family and mode: once one names a
potential, the others are Lennard-Jones unless they name it too.

Every table is optional: without [species] the box holds one species "A" with
the parameter set's mass; a species without ``mass`` takes it too; pairs not
given follow ``vorlan.mixture.pair_table``; without [start] the engine's simple
cubic lattice of `nr_particles` in `cell_length` is used. Fractions (default:
equal shares) deal the species at random over the start's sites; a start read
from a file keeps the file's species, unless it has only one and [species] has
fractions. JSON files hold the same keys (``{"species": {"A": {...}}, "pair":
[...], "start": {...}}``).
"""

from __future__ import annotations

import json
import os
import sys
from typing import Any, Dict, List, Mapping, Optional, Tuple, Union

import numpy as np

__all__ = ["System", "read_system", "parse_system"]

PathLike = Union[str, "os.PathLike[str]"]

_START_KINDS = ("lattice", "random", "file")


def _toml_loads(text: str) -> Dict[str, Any]:
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # pragma: no cover - the tomli wheel on 3.9 and 3.10
        import tomli as tomllib
    return tomllib.loads(text)


class System:
    """A parsed system description (see the module text); `arguments` turns it
    into the keyword arguments of ``Simulation``."""

    def __init__(self, species: List[str], fractions: Optional[List[float]], masses: Dict[str, float],
                 pairs: Optional[Dict[Tuple[str, str], Any]], start: Dict[str, Any],
                 base: str = "."):
        self.species = species        # names in order
        self.fractions = fractions    # share of each species, or None (equal shares)
        self.masses = masses          # name -> mass, for the species that set one
        self.pairs = pairs            # (a, b) -> dict(epsilon, sigma[, rcut]) or a vorlan.pair potential, or None
        self.start = start            # the [start] table as given
        self.base = base              # directory that relative start files are read from

    def with_fractions(self, fractions: Mapping[str, float]) -> "System":
        """The same system with the shares of some species set (each in [0, 1],
        together at most 1); the other species share the rest in their
        proportions here (equal ones without fractions): the composition axis
        of a sweep."""
        unknown = set(fractions) - set(self.species)
        if unknown:
            raise ValueError(f"fractions name the species {sorted(unknown)}, which are not among {self.species}")
        given = {s: float(v) for s, v in fractions.items()}
        if any(not 0.0 <= v <= 1.0 for v in given.values()) or sum(given.values()) > 1.0 + 1e-12:
            raise ValueError(f"fractions {given} are not allowed: each between 0 and 1, together at most 1")
        if not given:
            return self
        base = self.fractions or [1.0] * len(self.species)
        others = sum(b for s, b in zip(self.species, base) if s not in given)
        rest = max(0.0, 1.0 - sum(given.values()))
        shares = [given[s] if s in given else (rest * b / others if others > 0 else 0.0)
                  for s, b in zip(self.species, base)]
        return System(self.species, shares, self.masses, self.pairs, self.start, self.base)

    def arguments(self, nr_particles: Optional[int] = None, cell_length: Optional[float] = None) -> Dict[str, Any]:
        """Keyword arguments of ``Simulation``: species, types, masses, pairs and,
        from [start], positions and box (and velocities of a file that has them).
        `nr_particles` and `cell_length` (the parameter set's) size the engine's
        lattice when there is no [start]."""
        from ..starts import composition, lattice, random_positions

        args: Dict[str, Any] = {"species": list(self.species), "masses": dict(self.masses)}
        if self.pairs is not None:
            args["pairs"] = dict(self.pairs)
        start = self.start
        seed = start.get("seed")
        kinds = [k for k in _START_KINDS if k in start]
        n: Optional[int] = nr_particles
        if kinds == ["lattice"]:
            positions, box = lattice(start["lattice"], start.get("cells", 1), start.get("density", 1.0))
            args.update(positions=positions, box=box)
            n = len(positions)
        elif kinds == ["random"]:
            n = int(start["random"])
            side = (n / float(start.get("density", 1.0))) ** (1.0 / 3.0)
            args.update(positions=random_positions(n, side, float(start.get("min_distance", 0.0)), seed),
                        box=np.full(3, side))
        elif kinds == ["file"]:
            from .start import read_start

            frame = read_start(os.path.join(self.base, str(start["file"])), int(start.get("frame", -1)))
            args.update(positions=frame.positions, box=frame.box)
            if frame.velocities is not None:
                args["velocities"] = frame.velocities
            if len(frame.species) > 1 or self.fractions is None:
                # the file's species, with the file's masses where the system sets none
                args["types"] = _file_types(frame, self.species)
                for k, name in enumerate(frame.species):
                    if frame.masses is not None and name not in self.masses and np.any(frame.types == k):
                        args["masses"][name] = float(frame.masses[np.argmax(frame.types == k)])
                return args
            n = len(frame.positions)
        if n is None:
            raise ValueError("the system has no [start] table: the number of particles comes from nr_particles")
        shares = self.fractions or [1.0] * len(self.species)
        _, types = composition(n, list(zip(self.species, shares)), seed)
        args["types"] = types
        return args


def _file_types(frame: Any, species: List[str]) -> np.ndarray:
    missing = [s for s in frame.species if s not in species]
    if missing:
        raise ValueError(f"the start file has the species {frame.species}, the system describes {species}: "
                         f"{missing} have no entry")
    order = np.array([species.index(s) for s in frame.species], dtype=np.int32)
    return order[frame.types]


def _potential(values: Mapping[str, Any], base: str, where: str) -> Any:
    """The vorlan.pair potential of one [[pair]] entry (potential = family name,
    the family's parameters, mode; file = a table's path)."""
    from .. import pair

    classes = {"lj": pair.LJ, "wca": pair.WCA, "mie": pair.Mie, "yukawa": pair.Yukawa, "morse": pair.Morse,
               "table": pair.Table}
    values = dict(values)
    family = str(values.pop("potential", "lj"))
    if family not in classes:
        raise ValueError(f"{where}: potential = {family!r} is not known: the potentials are {sorted(classes)}")
    try:
        if family == "table":
            if set(values) != {"file"}:
                raise ValueError(f"a table pair takes file = \"...\" (columns r, E, F) and nothing else, "
                                 f"got {sorted(values)}")
            return pair.Table.from_file(os.path.join(base, str(values["file"])))
        return classes[family](**values)
    except TypeError as e:  # an unknown parameter
        raise ValueError(f"{where}: {e}") from None
    except ValueError as e:
        raise ValueError(f"{where}: {e}") from None


def parse_system(data: Mapping[str, Any], base: str = ".", source: str = "system") -> System:
    """A System from the parsed TOML/JSON tables (`source` names the file in errors)."""
    unknown = set(data) - {"species", "pair", "start"}
    if unknown:
        raise ValueError(f"{source}: unknown table(s) {sorted(unknown)}; the tables are species, pair and start")
    table = data.get("species", {"A": {}})
    if not isinstance(table, Mapping) or not table:
        raise ValueError(f"{source}: [species] must name at least one species, e.g. A = {{ fraction = 0.8 }}")
    species, fractions, masses = [], [], {}
    for name, entry in table.items():
        entry = entry or {}
        if not isinstance(entry, Mapping) or set(entry) - {"fraction", "mass"}:
            raise ValueError(f"{source}: species {name!r} = {entry!r}: give a table of fraction and mass")
        species.append(str(name))
        fractions.append(entry.get("fraction"))
        if "mass" in entry:
            masses[str(name)] = float(entry["mass"])
    if any(f is not None for f in fractions) and any(f is None for f in fractions):
        raise ValueError(f"{source}: give a fraction for every species or for none")
    shares = None if fractions[0] is None else [float(f) for f in fractions if f is not None]
    pairs: Optional[Dict[Tuple[str, str], Any]] = None
    if "pair" in data:
        pairs = {}
        entries = data["pair"]
        if isinstance(entries, Mapping):  # one potential for every like pair
            if "between" in entries:
                raise ValueError(f"{source}: a single [pair] table is every like pair: leave out between, or "
                                 "give [[pair]] entries")
            entries = [dict(entries, between=[s, s]) for s in species]
        if not isinstance(entries, list):
            raise ValueError(f"{source}: pair must be a list of tables ([[pair]] in TOML)")
        for entry in entries:
            between = entry.get("between") if isinstance(entry, Mapping) else None
            if not isinstance(between, list) or len(between) != 2:
                raise ValueError(f"{source}: every [[pair]] needs between = [\"A\", \"B\"], got {entry!r}")
            pairs[(str(between[0]), str(between[1]))] = {k: v for k, v in entry.items() if k != "between"}
        if any("potential" in values for values in pairs.values()):
            pairs = {key: _potential(values, base, f"{source}: pair {key}") for key, values in pairs.items()}
    start = dict(data.get("start", {}))
    kinds = [k for k in _START_KINDS if k in start]
    if len(kinds) > 1:
        raise ValueError(f"{source}: [start] has {kinds}: give one of lattice, random or file")
    allowed = {"lattice": {"cells", "density"}, "random": {"density", "min_distance"}, "file": {"frame"}}
    extra = set(start) - set(kinds) - {"seed"} - (allowed[kinds[0]] if kinds else set())
    if extra:
        raise ValueError(f"{source}: [start] keys {sorted(extra)} are not allowed here")
    from ..mixture import species_masses, species_names

    species_names(species)
    species_masses(species, masses, 1.0)
    if shares is not None:
        from ..starts import composition

        composition(0, list(zip(species, shares)))  # checks the shares
    return System(species, shares, masses, pairs, start, base)


def read_system(path: PathLike) -> System:
    """Reads a system description: TOML (``.toml``) or JSON (``.json``)."""
    name = os.fsdecode(os.fspath(path))
    ext = os.path.splitext(name)[1].lower()
    if ext not in (".toml", ".json"):
        raise ValueError(f"{name}: a system description is a .toml or .json file")
    try:
        with open(name, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise ValueError(f"{name}: cannot read the system description ({e.strerror})") from None
    try:
        data = json.loads(text) if ext == ".json" else _toml_loads(text)
    except ValueError as e:  # JSONDecodeError and TOMLDecodeError are ValueErrors
        raise ValueError(f"{name}: not a valid {ext[1:].upper()} file: {e}") from None
    if not isinstance(data, Mapping):
        raise ValueError(f"{name}: the top level must be a table")
    return parse_system(data, os.path.dirname(os.path.abspath(name)), name)
