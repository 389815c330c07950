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
"""

from __future__ import annotations

import math
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

__all__ = ["lattice", "random_positions", "composition", "LATTICE_BASIS"]

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


def _positive(name: str, value: Any) -> float:
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} = {value!r} is not allowed: give a positive number") from None
    if not (math.isfinite(x) and x > 0.0):
        raise ValueError(f"{name} = {value!r} is not allowed: it must be a finite positive number")
    return x


def _box(box: Any) -> np.ndarray:
    b = np.asarray(box, dtype=np.float64)
    if b.ndim == 0:
        b = np.full(3, float(b))
    if b.shape != (3,) or not (np.isfinite(b).all() and (b > 0.0).all()):
        raise ValueError(f"box = {np.asarray(box).tolist()} is not allowed: give one or three positive side lengths")
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
    density = _positive("density", density)
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
    side = _box(box)
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
