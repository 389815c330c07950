"""Start configurations: crystal lattices, random placement without overlaps,
and the composition of a mixture.

A liquid started on a lattice melts within the first few hundred steps, and one
started from random positions has to relax its closest contacts first; either
way the start is forgotten after equilibration, so what matters is that it is
cheap, reproducible and free of overlaps (an overlap gives forces of 1e20 and a
run that explodes at its first step).

``lattice("fcc", 8, 1.2)`` gives the face-centred cubic crystal with 4 x 8^3 =
2048 sites at number density 1.2, the densest packing of spheres and the
ground state of the Lennard-Jones solid; ``bcc`` (2 sites per cell) and ``sc``
(1 site) are looser. ``random_positions`` puts particles one after the other at
uniformly random points, refusing any closer than `min_distance` to those
already placed (random sequential addition, which jams at a packing fraction
of about 0.38 of spheres of diameter `min_distance`). ``composition`` deals the
species of a mixture, in given fractions, to the sites in random order: the
Kob-Andersen glass former is 80 % A and 20 % B (W. Kob and H. C. Andersen,
Phys. Rev. E 51, 4626 (1995)).

``simulation_start`` assembles the start of a ``vorlan.Simulation`` from its
arguments (settings, positions, velocities, box, and a mixture's species,
types, masses and pairs) and ``file_start`` that of ``Simulation.from_file``.
"""

from __future__ import annotations

import math
import os
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from . import _core
from . import params as settings
from .io.start import masses_by_species, read_start
from . import pair as pair_potentials
from .mixture import engine_tables, masses_by_name, species_names
from .params import check_positive

__all__ = ["lattice", "random_positions", "composition", "LATTICE_BASIS", "box_sides", "SimulationStart",
           "simulation_start", "file_start"]

PathLike = Union[str, "os.PathLike[str]"]

# Sites of the conventional cubic unit cell, in units of its edge a. Every site
# is moved by a quarter (sc: a half) of the cell so that none lies on a box side.
LATTICE_BASIS: Dict[str, np.ndarray] = {
    "sc": np.array([[0.5, 0.5, 0.5]]),
    "bcc": np.array([[0.25, 0.25, 0.25], [0.75, 0.75, 0.75]]),
    "fcc": np.array([[0.25, 0.25, 0.25], [0.75, 0.75, 0.25], [0.75, 0.25, 0.75], [0.25, 0.75, 0.75]]),
}


def _cells(cells: Any) -> Tuple[int, int, int]:
    values = (cells,) * 3 if np.ndim(cells) == 0 else tuple(cells)
    if len(values) != 3 or any(isinstance(c, bool) or not isinstance(c, (int, np.integer)) or c < 1
                               for c in values):
        raise ValueError(f"cells = {cells!r} is not allowed: give a positive integer or three of them (nx, ny, nz)")
    return int(values[0]), int(values[1]), int(values[2])


def box_sides(box: Any) -> np.ndarray:
    """The sides (Lx, Ly, Lz) of `box`: three positive lengths, or one for a cube."""
    b = np.asarray(box, dtype=np.float64)
    if b.ndim == 0:
        b = np.full(3, float(b))
    if b.shape != (3,) or not (np.isfinite(b).all() and (b > 0.0).all()):
        raise ValueError(f"box = {np.asarray(box).tolist()} is not allowed: give three positive sides "
                         "(Lx, Ly, Lz) or one")
    return b


def lattice(kind: str, cells: Union[int, Sequence[int]], density: float) -> Tuple[np.ndarray, np.ndarray]:
    """Sites of a cubic crystal filling an orthorhombic periodic box.

    `kind` is ``"fcc"`` (4 sites per unit cell), ``"bcc"`` (2) or ``"sc"`` (1);
    `cells` the number of unit cells along each axis (one number or three);
    `density` the number density N / V in reduced units (sites per sigma^3). The
    cell edge is a = (sites per cell / density)^(1/3).

    Returns ``(positions, box)``: positions of shape (N, 3) with N = sites per
    cell x nx ny nz, ordered cell by cell (x slowest, z fastest, the sites of a
    cell together), and the box sides (nx a, ny a, nz a). The nearest-neighbour
    distance is a / sqrt(2) (fcc), a sqrt(3) / 2 (bcc) or a (sc).
    """
    if kind not in LATTICE_BASIS:
        raise ValueError(f"kind = {kind!r} is not allowed: the lattices are {', '.join(map(repr, LATTICE_BASIS))}")
    nx, ny, nz = _cells(cells)
    density = check_positive("density", density)
    basis = LATTICE_BASIS[kind]
    a = (len(basis) / density) ** (1.0 / 3.0)
    corners = np.stack(np.meshgrid(np.arange(nx), np.arange(ny), np.arange(nz), indexing="ij"), axis=-1)
    sites = corners.reshape(-1, 1, 3) + basis[np.newaxis, :, :]
    return (sites.reshape(-1, 3) * a).astype(np.float64), np.array([nx * a, ny * a, nz * a])


def random_positions(n: int, box: Any, min_distance: float = 0.0, seed: Optional[int] = None,
                     *, max_attempts: int = 1000) -> np.ndarray:
    """N positions drawn uniformly in the periodic box, no two closer than
    `min_distance` (minimum image).

    Random sequential addition: each particle is tried at up to `max_attempts`
    uniform points and kept at the first that clears every particle already
    placed (searched on a grid of cells at least `min_distance` wide). It jams
    near a packing fraction pi/6 rho d^3 of 0.38; a ``ValueError`` says so when
    a particle finds no room. `box` is one side length (cubic) or three; `seed`
    seeds NumPy's default generator, so the same seed gives the same positions.
    Returns an (N, 3) float64 array in [0, L).
    """
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 0:
        raise ValueError(f"n = {n!r} is not allowed: give a non-negative integer")
    side = box_sides(box)
    d = float(min_distance)
    if not (math.isfinite(d) and d >= 0.0):
        raise ValueError(f"min_distance = {min_distance!r} is not allowed: it must be a finite number >= 0")
    if d > 0.5 * side.min():
        raise ValueError(f"min_distance = {d} is not allowed: it must be at most half the shortest box side "
                         f"{side.min()}")
    rng = np.random.default_rng(seed)
    if d == 0.0 or n == 0:
        return rng.random((n, 3)) * side
    fraction = math.pi / 6.0 * n / float(np.prod(side)) * d**3
    dsq = d * d
    grid = np.maximum(np.floor(side / d).astype(np.int64), 1)
    edge = side / grid
    members: Dict[Tuple[int, int, int], List[int]] = {}
    placed = np.empty((n, 3))
    # A batch of candidate points at a time keeps the generator calls few; the
    # loop over candidates is what random sequential addition is.
    batch = rng.random((max(64, n), 3)) * side
    used = 0
    offsets = [(i, j, k) for i in (-1, 0, 1) for j in (-1, 0, 1) for k in (-1, 0, 1)]
    for count in range(n):
        for _ in range(max_attempts):
            if used == len(batch):
                batch = rng.random((len(batch), 3)) * side
                used = 0
            x = batch[used]
            used += 1
            c = tuple(int(v) for v in np.minimum((x / edge).astype(np.int64), grid - 1))
            near = {tuple(int((c[k] + o[k]) % grid[k]) for k in range(3)) for o in offsets}
            others = [j for key in near for j in members.get(key, ())]  # type: ignore[arg-type]
            if others:
                r = x - placed[others]
                r -= side * np.round(r / side)
                if (np.einsum("ij,ij->i", r, r) < dsq).any():
                    continue
            placed[count] = x
            members.setdefault(c, []).append(count)  # type: ignore[arg-type]
            break
        else:
            raise ValueError(
                f"random_positions found no room for particle {count} of n = {n} after {max_attempts} attempts: "
                f"spheres of diameter min_distance = {d} would fill {fraction:.3f} of the box, and random "
                "placement jams near 0.38; lower min_distance or the density, or start from a lattice")
    return placed


def composition(n: int, fractions: Union[Mapping[str, float], Sequence[Tuple[str, float]]],
                seed: Optional[int] = None) -> Tuple[List[str], np.ndarray]:
    """The species of n particles in given fractions, dealt in random order.

    `fractions` maps species names to their shares, e.g. ``{"A": 0.8, "B": 0.2}``
    (the Kob-Andersen mixture); the shares are normalised to sum to one. The
    counts are n times each share rounded by the largest remainder, so that
    they add up to n exactly. Returns ``(species, types)``: the names in the
    order given and an int32 array of n indices into them, shuffled with NumPy's
    default generator seeded with `seed`, so that the species sit at random on
    the sites of a lattice.
    """
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 0:
        raise ValueError(f"n = {n!r} is not allowed: give a non-negative integer")
    items: List[Tuple[Any, Any]] = (list(fractions.items()) if isinstance(fractions, Mapping)
                                    else [(x[0], x[1]) for x in fractions])
    if not items:
        raise ValueError("fractions is empty: give at least one species and its share")
    species = [str(name) for name, _ in items]
    if len(set(species)) != len(species):
        raise ValueError(f"fractions names a species twice: {species}")
    shares = np.array([float(share) for _, share in items])
    for name, share in zip(species, shares):
        if not (math.isfinite(share) and share >= 0.0):
            raise ValueError(f"the fraction of species {name!r} is {share}: it must be a finite number >= 0")
    if shares.sum() <= 0.0:
        raise ValueError("the fractions add up to 0: give at least one positive share")
    exact = n * shares / shares.sum()
    counts = np.floor(exact).astype(np.int64)
    # the particles left over go to the largest remainders, the first species first on ties
    for k in np.argsort(-(exact - counts), kind="stable")[: n - int(counts.sum())]:
        counts[k] += 1
    types = np.repeat(np.arange(len(species), dtype=np.int32), counts)
    np.random.default_rng(seed).shuffle(types)
    return species, types


# ---------------------------------------------------------------- the start of a Simulation


class SimulationStart(NamedTuple):
    """What a Simulation starts from, checked: the settings and the start state
    in the engine's terms."""

    source: Union[str, Dict[str, str]]    # the parameter file's path, or the settings as key -> value text
    positions: Optional[np.ndarray]       # (N, 3) start positions, or None: the lattice
    velocities: Optional[np.ndarray]      # (N, 3) start velocities, or None: drawn at kT
    sides: Optional[np.ndarray]           # (3,) box sides, or None: a cube of side cell_length
    species: Optional[List[str]]          # a mixture's species names, None for one species
    mixture: Optional[Dict[str, Any]]     # a mixture's engine arrays (mixture.engine_tables), or None
    pair: Optional[Dict[str, Any]] = None  # the pair potential in the engine's terms (vorlan.pair.engine_pair), or None

    def settings(self) -> Dict[str, str]:
        """The settings as key -> value text (a parameter file read)."""
        return dict(self.source) if isinstance(self.source, dict) else dict(_core.read_parameter_file(self.source))

    def engine(self, seed: Optional[int], team: int, fields: Optional[List[Dict[str, Any]]] = None,
               divided: bool = False) -> Any:
        """The engine (vorlan._core.Engine) of this start, with the external
        `fields` (vorlan.field.engine_fields); an overlap of the start positions
        is reported with the closest pair. `divided`: the box is divided among
        processes next, which builds the list of each process's share only."""
        make = _core.Engine.from_dict if isinstance(self.source, dict) else _core.Engine.from_file
        try:
            return make(self.source, seed, team, self.positions, self.velocities, self.sides,  # type: ignore[arg-type]
                        self.mixture, self.pair, fields, divided)
        except ValueError as e:
            if self.positions is not None and "overlap" in str(e):
                raise ValueError(f"{e}; {_closest_pair(self.positions, self.sides)}") from None
            raise


def _start_array(name: str, value: Any) -> np.ndarray:
    """An (N, 3) finite float64 array from the caller's start positions or
    velocities (N is checked against nr_particles by the engine)."""
    a = np.ascontiguousarray(value, dtype=np.float64)
    if a.ndim != 2 or a.shape[1] != 3:
        raise ValueError(f"{name} has shape {a.shape}, expected (nr_particles, 3)")
    if not np.isfinite(a).all():
        i = int(np.argwhere(~np.isfinite(a))[0][0])
        raise ValueError(f"{name} of particle {i} is {a[i].tolist()}: start {name} must be finite")
    return a


def _closest_pair(x: np.ndarray, sides: Optional[np.ndarray]) -> str:
    """Which start particles overlap: the closest pair (scipy when installed)."""
    try:
        from scipy.spatial import cKDTree
    except ImportError:
        return "install scipy to have the closest pair named"
    wrapped = np.mod(x, sides) if sides is not None else x
    tree = cKDTree(wrapped, boxsize=sides)
    d, j = tree.query(wrapped, k=2)
    i = int(np.argmin(d[:, 1]))
    return f"the closest are particles {i} and {int(j[i, 1])} at distance {d[i, 1]:.3g}"


def parameter_path(params: Any) -> str:
    """The path of a parameter file as text."""
    path = os.fspath(params)
    return os.fsdecode(path) if isinstance(path, bytes) else path


def existing_parameter_file(params: Any) -> str:
    """The path of a parameter file that exists; ``Exception("Cannot open file:
    PATH")`` otherwise, as ``simulate`` raises."""
    path = parameter_path(params)
    if not os.path.exists(path):
        raise Exception("Cannot open file: " + path)
    return path


def simulation_start(params: Any, positions: Any, velocities: Any, box: Any, species: Optional[Sequence[str]],
                     types: Any, masses: Any, pairs: Optional[Mapping[Any, Any]],
                     stacklevel: int = 1, pair: Any = None) -> SimulationStart:
    """The start of ``Simulation(params, positions=..., ...)``, its arguments
    checked in the constructor's order (see its docstring); a warning about an
    unknown setting points at the `stacklevel`-th caller. With a pair potential
    (`pair`, or vorlan.pair objects in `pairs`) the setting rcut becomes its
    largest cut-off, so that the box rules check the list against it."""
    source: Union[str, Dict[str, str]]
    if isinstance(params, Mapping):
        source = settings.settings_text(params, stacklevel=stacklevel + 1)
    else:
        source = existing_parameter_file(params)
    start_x = None if positions is None else _start_array("positions", positions)
    start_v = None if velocities is None else _start_array("velocities", velocities)
    sides = None
    if box is not None:
        sides = box_sides(box)
        source = dict(_core.read_parameter_file(source) if isinstance(source, str) else source)
        if start_x is not None:
            source["nr_particles"] = str(len(start_x))
        source["cell_length"] = settings.format_value("cell_length", float(sides.min()))
    if pair is not None and not isinstance(pair, pair_potentials.PairPotential):
        raise ValueError(f"pair = {pair!r} is not allowed: give a vorlan.pair potential, e.g. vorlan.pair.LJ()")
    if species is None:
        if types is not None or masses is not None or pairs is not None:
            raise ValueError("types, masses and pairs describe a mixture: give its species names too "
                             "(species=['A', 'B', ...])")
        if pair is None:
            return SimulationStart(source, start_x, start_v, sides, None, None)
        source = _with_cutoff(source, pair.rcut, sides)
        return SimulationStart(source, start_x, start_v, sides, None, None, pair_potentials.engine_pair([pair], 1))
    if pair is not None:
        raise ValueError("pair = ... is for one species: a mixture gives pairs={('A', 'A'): potential, ...}")
    names = species_names(species)
    engine_pair = None
    if isinstance(pairs, Mapping) and any(isinstance(v, pair_potentials.PairPotential) for v in pairs.values()):
        matrix = pair_potentials.pair_matrix(names, pairs)
        engine_pair = pair_potentials.engine_pair(matrix, len(names))
        source = _with_cutoff(source, max(p.rcut for p in matrix), sides)
        pairs = None
    entries = source if isinstance(source, dict) else _core.read_parameter_file(source)

    def setting(key: str) -> float:
        return settings.setting_value(entries, key)

    mixture = engine_tables(names, types, masses, pairs, setting, sides)
    if engine_pair is not None:
        for key in ("epsilon", "sigma", "rcut"):
            del mixture[key]
    return SimulationStart(source, start_x, start_v, sides, names, mixture, engine_pair)


def _with_cutoff(source: Union[str, Dict[str, str]], rcut: float, sides: Optional[np.ndarray]) -> Dict[str, str]:
    """The settings with rcut set to a pair potential's largest cut-off, checked
    against half the shortest box side."""
    entries = dict(_core.read_parameter_file(source) if isinstance(source, str) else source)
    shortest = float(sides.min()) if sides is not None else float(settings.setting_value(entries, "cell_length"))
    if rcut > 0.5 * shortest:
        raise ValueError(f"the pair potential's cut-off {rcut} is not allowed: it must not exceed half the shortest "
                         f"box side {shortest}")
    entries["rcut"] = settings.format_value("rcut", rcut)
    return entries


def _file_species(start: Any, species: Any, path: PathLike) -> Tuple[List[str], np.ndarray, List[str]]:
    """The simulation's species names, each particle's index into them and the
    simulation's name of each species of the file, the file's species matched
    by name: `species` None (the file's names), a list naming every species of
    the file (in the order of the type tables), or a mapping from the file's
    names to the simulation's."""
    names = list(start.species)
    where = os.fsdecode(os.fspath(path))
    if species is None:
        return names, start.types, names
    if isinstance(species, Mapping):
        rename = {str(k): str(v) for k, v in species.items()}
        unknown = [k for k in rename if k not in names]
        if unknown:
            raise ValueError(f"{where}: species maps {unknown}, which the file does not hold; its species are {names}")
        wanted = [rename.get(s, s) for s in names]
        for k, s in enumerate(wanted):
            if s in wanted[:k]:
                raise ValueError(f"species = {species!r} gives the file's species {names[wanted.index(s)]!r} and "
                                 f"{names[k]!r} the one name {s!r}: every species needs a name of its own")
        return species_names(wanted), start.types, wanted
    wanted = species_names(species)
    missing = [s for s in names if s not in wanted]
    if missing:
        raise ValueError(f"{where}: the file's species {missing} are not among species = {wanted}; species are "
                         f"matched by name: give a mapping from the file's names to the simulation's, e.g. "
                         f"species={{{missing[0]!r}: {wanted[0]!r}}}")
    order = np.array([wanted.index(s) for s in names], dtype=np.int32)
    return wanted, order[start.types], names


def file_start(path: PathLike, params: Any, frame: int, species: Any, masses: Any,
               pairs: Optional[Mapping[Any, Mapping[str, Any]]], velocities: bool) -> Dict[str, Any]:
    """The arguments of ``Simulation`` (the settings as key -> value text, positions,
    velocities, box, and for a mixture species, types, masses, pairs) that start
    from frame `frame` of the file at `path` (``Simulation.from_file``), and
    under "clock" the frame's (step, time step, time), each None when the file
    does not record it."""

    start = read_start(path, frame)
    names, types, alias = _file_species(start, species, path)
    file_masses = masses_by_species(start, alias, path)
    if masses is not None:
        file_masses.update(masses_by_name(names, masses))
    entries = (settings.settings_text(params) if isinstance(params, Mapping)
               else _core.read_parameter_file(existing_parameter_file(params)))
    one_species = (len(names) == 1 and pairs is None
                   and all(m == settings.setting_value(entries, "mass") for m in file_masses.values()))
    arguments = dict(params=entries, positions=start.positions, velocities=start.velocities if velocities else None,
                     box=start.box, clock=(start.step, start.dt, start.time))
    if not one_species:
        arguments.update(species=names, types=types, masses=file_masses, pairs=pairs)
    return arguments
