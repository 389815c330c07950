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
fractions. External fields (``vorlan.field``) are ``[[field]]`` entries, each
naming its kind and giving that kind's keyword arguments::

    [[field]]
    field = "wall"
    axis = "z"
    kind = "lj93"          # or "harmonic" with k
    epsilon = 1.0
    sigma = 1.0
    rcut = 2.5

    [[field]]
    field = "constant"
    force = [0.01, 0.0, 0.0]

A ``[barostat]`` table runs the box at constant pressure with
``vorlan.CRescale`` (its keyword arguments; ``couple`` "xyz", "xy" or "none")::

    [barostat]
    pressure = 1.0
    tau = 2.0
    couple = "xy"

JSON files hold the same keys (``{"species": {"A": {...}}, "pair":
[...], "start": {...}}``).
"""

from __future__ import annotations

import hashlib
import json
import math
import numbers
import os
import sys
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple, Union

import numpy as np

from .files import open_regular, read_regular

__all__ = ["System", "read_system", "parse_system"]

PathLike = Union[str, "os.PathLike[str]"]

_START_KINDS = ("lattice", "random", "file")

SYSTEM_BYTES = 1 << 20  # a system description: species, pairs and a start, a few hundred bytes


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
                 base: str = ".", source: str = "system", fields: Optional[List[Any]] = None,
                 barostat: Any = None):
        self.species = species        # names in order
        self.fields = fields or []    # vorlan.field objects, in the order given
        self.fractions = fractions    # share of each species, or None (equal shares)
        self.masses = masses          # name -> mass, for the species that set one
        self.pairs = pairs            # (a, b) -> dict(epsilon, sigma[, rcut]) or a vorlan.pair potential, or None
        self.start = start            # the [start] table as given
        self.base = base              # directory that relative start files are read from
        self.source = source          # the file it was read from, for messages
        self.barostat = barostat      # the vorlan.CRescale of [barostat], or None (not among arguments())

    def digest(self) -> str:
        """SHA-256 of what the runs start from: species, shares, masses, pairs,
        the [start] table and the bytes of its start file. A sweep records it
        with every run, so that a resumed sweep sees a changed description."""
        h = hashlib.sha256()
        pairs = None if self.pairs is None else sorted([list(k), v] for k, v in self.pairs.items())
        described: List[Any] = [self.species, self.fractions, self.masses, pairs, self.start]
        if self.fields:  # descriptions without fields keep their digest
            described.append([f.record() for f in self.fields])
        if self.barostat is not None:
            described.append(repr(self.barostat))
        h.update(json.dumps(described, sort_keys=True, default=str).encode())
        if "file" in self.start:
            path = os.path.join(self.base, str(self.start["file"]))
            try:
                with open_regular(path, "start file") as f:
                    for block in iter(lambda: f.read(1 << 20), b""):
                        h.update(block)
            except OSError as e:
                raise ValueError(f"{self.source}: cannot read the start file {path} ({e.strerror or e})") from None
        return h.hexdigest()

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
        return System(self.species, shares, self.masses, self.pairs, self.start, self.base, self.source, self.fields,
                      self.barostat)

    def with_pair_parameter(self, key: str, value: float) -> "System":
        """The same system with one pair parameter set: ``key`` "NAME" sets it in
        every pair given, "A-B.NAME" in the pair of species A and B (given, in
        either order); a sweep's pair axis. ValueError naming what is not there."""
        if self.pairs is None:
            raise ValueError(f"{self.source}: pair.{key} needs pairs: the description has no [pair]")
        where, _, name = key.rpartition(".")
        keys = list(self.pairs)
        if where:
            a, sep, b = where.partition("-")
            keys = [k for k in keys if k in ((a, b), (b, a))]
            if not sep or not keys:
                raise ValueError(f"{self.source}: pair.{key} names no pair given: write pair.A-B.{name or 'NAME'} "
                                 f"with A and B one of the pairs {sorted(self.pairs)}")
        pairs = dict(self.pairs)
        for k in keys:
            pairs[k] = _with_value(pairs[k], name, value, f"{self.source}: pair {k}")
        return System(self.species, self.fractions, self.masses, pairs, self.start, self.base, self.source,
                      self.fields, self.barostat)

    def arguments(self, nr_particles: Optional[int] = None, cell_length: Optional[float] = None) -> Dict[str, Any]:
        """Keyword arguments of ``Simulation``: species, types, masses, pairs and,
        from [start], positions and box (and velocities of a file that has them).
        `nr_particles` and `cell_length` (the parameter set's) size the engine's
        lattice when there is no [start]. A start that cannot be made is a
        ValueError naming the description."""
        try:
            return self._arguments(nr_particles)
        except ValueError as e:
            if str(e).startswith(self.source):
                raise
            raise ValueError(f"{self.source}: {e}") from None

    def _arguments(self, nr_particles: Optional[int]) -> Dict[str, Any]:
        from ..starts import composition, lattice, random_positions

        args: Dict[str, Any] = {"species": list(self.species), "masses": dict(self.masses)}
        if self.pairs is not None:
            args["pairs"] = dict(self.pairs)
        if self.fields:
            args["fields"] = list(self.fields)
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


def _with_value(pair: Any, name: str, value: float, where: str) -> Any:
    """A pair (a dict of epsilon, sigma[, rcut] or a vorlan.pair potential) with
    parameter `name` set to `value`, checked as when given."""
    if isinstance(pair, Mapping):
        allowed = ("epsilon", "sigma", "rcut")
        if name not in allowed:
            raise ValueError(f"{where}: {name} is not a parameter of it (it has {', '.join(allowed)})")
        _real(where, name, value, "give a positive number", _positive)
        return {**pair, name: float(value)}
    return pair.with_parameter(name, value)


def _file_types(frame: Any, species: List[str]) -> np.ndarray:
    missing = [s for s in frame.species if s not in species]
    if missing:
        raise ValueError(f"the start file has the species {frame.species}, the system describes {species}: "
                         f"{missing} have no entry")
    order = np.array([species.index(s) for s in frame.species], dtype=np.int32)
    return order[frame.types]


def _real(source: str, key: str, value: Any, allowed: str, ok: Callable[[float], bool]) -> float:
    """`value` of `key` as a float when it is a number (never true/false) that
    `ok` accepts; else a ValueError naming the key, the value and `allowed`."""
    if not isinstance(value, numbers.Real) or isinstance(value, (bool, np.bool_)) or not ok(float(value)):
        raise ValueError(f"{source}: {key} = {value!r} is not allowed: {allowed}")
    return float(value)


def _whole(source: str, key: str, value: Any, low: int) -> int:
    """`value` of `key` as an int of at least `low` (a whole number, not 0.7
    and not true)."""
    if not isinstance(value, numbers.Integral) or isinstance(value, (bool, np.bool_)) or value < low:
        raise ValueError(f"{source}: {key} = {value!r} is not allowed: give a whole number of at least {low}")
    return int(value)


def _positive(x: float) -> bool:
    return math.isfinite(x) and x > 0.0


def _start_table(start: Any, source: str) -> Dict[str, Any]:
    """The [start] table checked: one kind, its keys, each value in range."""
    if not isinstance(start, Mapping):
        raise ValueError(f"{source}: start must be a table ([start] in TOML)")
    start = dict(start)
    kinds = [k for k in _START_KINDS if k in start]
    if len(kinds) > 1:
        raise ValueError(f"{source}: [start] has {kinds}: give one of lattice, random or file")
    allowed = {"lattice": {"cells", "density"}, "random": {"density", "min_distance"}, "file": {"frame"}}
    extra = set(start) - set(kinds) - {"seed"} - (allowed[kinds[0]] if kinds else set())
    if extra:
        raise ValueError(f"{source}: [start] keys {sorted(extra)} are not allowed here")
    if "density" in start:
        _real(source, "density", start["density"], "give a positive number of particles per sigma^3", _positive)
    if "min_distance" in start:
        _real(source, "min_distance", start["min_distance"], "give a distance >= 0",
              lambda x: math.isfinite(x) and x >= 0.0)
    if "random" in start:
        _whole(source, "random", start["random"], 1)
    if "seed" in start:
        _whole(source, "seed", start["seed"], 0)
    if "frame" in start and (not isinstance(start["frame"], numbers.Integral) or isinstance(start["frame"], bool)):
        raise ValueError(f"{source}: frame = {start['frame']!r} is not allowed: give a whole number "
                         "(negative counts from the end)")
    if "file" in start and not isinstance(start["file"], str):
        raise ValueError(f"{source}: file = {start['file']!r} is not allowed: give the path of a start file")
    if "lattice" in start and start["lattice"] not in ("fcc", "bcc", "sc"):
        raise ValueError(f"{source}: lattice = {start['lattice']!r} is not allowed: give \"fcc\", \"bcc\" or \"sc\"")
    if "cells" in start:
        cells = start["cells"]
        for c in cells if isinstance(cells, list) and len(cells) == 3 else [cells]:
            _whole(source, "cells", c, 1)
    return start


def _pair_tables(entries: Any, species: List[str], base: str, source: str) -> Dict[Tuple[str, str], Any]:
    """The [[pair]] tables as (a, b) -> values, or -> a vorlan.pair potential when
    an entry names one (potential = family); a single [pair] table is every like
    pair. A pair given twice, in either order, is a ValueError naming it."""
    if isinstance(entries, Mapping):  # one potential for every like pair
        if "between" in entries:
            raise ValueError(f"{source}: a single [pair] table is every like pair: leave out between, or "
                             "give [[pair]] entries")
        entries = [dict(entries, between=[s, s]) for s in species]
    if not isinstance(entries, list):
        raise ValueError(f"{source}: pair must be a list of tables ([[pair]] in TOML)")
    pairs: Dict[Tuple[str, str], Any] = {}
    for entry in entries:
        between = entry.get("between") if isinstance(entry, Mapping) else None
        if not isinstance(between, list) or len(between) != 2 or not all(isinstance(x, str) for x in between):
            raise ValueError(f"{source}: every [[pair]] needs between = [\"A\", \"B\"], got {entry!r}")
        a, b = between
        if (a, b) in pairs or (b, a) in pairs:
            raise ValueError(f"{source}: the pair ({a}, {b}) is given by two [[pair]] tables; give each pair once")
        pairs[(a, b)] = {k: v for k, v in entry.items() if k != "between"}
    if any("potential" in values for values in pairs.values()):
        return {key: _potential(values, base, f"{source}: pair {key}") for key, values in pairs.items()}
    for (a, b), values in pairs.items():
        for key, v in values.items():
            _real(source, f"{key} of pair ({a}, {b})", v, "give a positive number", _positive)
    return pairs


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
    """A System from the parsed TOML/JSON tables (`source` names the file in
    errors); every value is checked here, so that a fault names the file, the
    key and the value."""
    unknown = set(data) - {"species", "pair", "start", "field", "barostat"}
    if unknown:
        raise ValueError(f"{source}: unknown table(s) {sorted(unknown)}; the tables are species, pair, field, "
                         "barostat and start")
    table = data.get("species", {"A": {}})
    if not isinstance(table, Mapping) or not table:
        raise ValueError(f"{source}: [species] must name at least one species, e.g. A = {{ fraction = 0.8 }}")
    species, fractions, masses = [], [], {}
    for name, entry in table.items():
        entry = entry or {}
        if not isinstance(entry, Mapping) or set(entry) - {"fraction", "mass"}:
            raise ValueError(f"{source}: species {name!r} = {entry!r}: give a table of fraction and mass")
        species.append(str(name))
        if "fraction" in entry:
            fractions.append(_real(source, f"fraction of species {name!r}", entry["fraction"],
                                   "give a share >= 0", lambda x: math.isfinite(x) and x >= 0.0))
        if "mass" in entry:
            masses[str(name)] = _real(source, f"mass of species {name!r}", entry["mass"], "give a positive number",
                                      _positive)
    if fractions and len(fractions) != len(species):
        raise ValueError(f"{source}: give a fraction for every species or for none")
    pairs = _pair_tables(data["pair"], species, base, source) if "pair" in data else None
    start = _start_table(data.get("start", {}), source)
    from ..mixture import pair_table, species_masses, species_names

    try:
        species_names(species)
        species_masses(species, masses, 1.0)
        if pairs is not None and all(isinstance(v, Mapping) for v in pairs.values()):
            pair_table(species, pairs, sigma=1.0, epsilon=1.0, rcut=1.0)
        if fractions:
            from ..starts import composition

            composition(0, list(zip(species, fractions)))  # checks the shares
    except ValueError as e:
        raise ValueError(f"{source}: {e}") from None
    return System(species, fractions or None, masses, pairs, start, base, source,
                  _field_entries(data.get("field", []), source), _barostat(data.get("barostat"), source))


def _barostat(table: Any, source: str) -> Any:
    """The vorlan.CRescale of a [barostat] table (its keyword arguments), or None."""
    if table is None:
        return None
    from ..methods import CRescale

    if not isinstance(table, Mapping):
        raise ValueError(f"{source}: barostat must be a table of pressure, tau, compressibility and couple")
    try:
        return CRescale(**table)
    except (TypeError, ValueError) as e:
        raise ValueError(f"{source}: [barostat]: {e}") from None


def _field_entries(entries: Any, source: str) -> List[Any]:
    """The [[field]] entries as vorlan.field objects; an entry that names no
    known kind, or gives keys that kind does not take, is a ValueError."""
    from .. import field

    kinds = {"wall": field.Wall, "constant": field.Constant}
    if isinstance(entries, Mapping):
        entries = [entries]
    out = []
    for k, entry in enumerate(entries):
        if not isinstance(entry, Mapping) or entry.get("field") not in kinds:
            raise ValueError(f"{source}: [[field]] entry {k + 1} must name its kind: field = \"wall\" or \"constant\"")
        values = {key: v for key, v in entry.items() if key != "field"}
        try:
            out.append(kinds[entry["field"]](**values))
        except TypeError as e:
            raise ValueError(f"{source}: [[field]] entry {k + 1} ({entry['field']}): {e}") from None
        except ValueError as e:
            raise ValueError(f"{source}: [[field]] entry {k + 1} ({entry['field']}): {e}") from None
    return out


def _no_constant(text: str) -> Any:
    raise ValueError(f"{text} is not a number a system description may hold")


def read_system(path: PathLike) -> System:
    """Reads a system description: TOML (``.toml``) or JSON (``.json``), a
    regular file of at most SYSTEM_BYTES."""
    name = os.fsdecode(os.fspath(path))
    ext = os.path.splitext(name)[1].lower()
    if ext not in (".toml", ".json"):
        raise ValueError(f"{name}: a system description is a .toml or .json file")
    try:
        raw = read_regular(name, "system description", SYSTEM_BYTES)
    except OSError as e:
        raise ValueError(f"{name}: cannot read the system description ({e.strerror or e})") from None
    try:
        text = raw.decode("utf-8")
        data = json.loads(text, parse_constant=_no_constant) if ext == ".json" else _toml_loads(text)
    except ValueError as e:  # JSONDecodeError, TOMLDecodeError and UnicodeDecodeError are ValueErrors
        raise ValueError(f"{name}: not a valid {ext[1:].upper()} file: {e}") from None
    if not isinstance(data, Mapping):
        raise ValueError(f"{name}: the top level must be a table")
    return parse_system(data, os.path.dirname(os.path.abspath(name)), name)
