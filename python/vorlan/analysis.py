"""Analysis of runs: averages with honest error bars, the radial distribution
function g(r) and the mean squared displacement; the transport coefficients
(``msd``, ``vacf``, ``diffusion``, ``green_kubo``: ``vorlan.transport``), the
structure factor and density profiles (``structure_factor``,
``density_profile``: ``vorlan.structure``) and inherent structures along a run
(``inherent_structures``: ``vorlan.landscape``) are handed on from their modules.

Error bars of correlated series (energies after every step, pressures every K
steps) come from blocking (H. Flyvbjerg and H. G. Petersen, J. Chem. Phys. 91,
461 (1989)): the series is halved by averaging neighbouring pairs as long as at
least 16 blocks remain, the naive standard error of the block means is taken at
every level, and the largest of these (the plateau that correlated samples reach)
is reported. Samples closer than the correlation time would otherwise make the
error look smaller than it is.

g(r) is computed by freud (``pip install freud-analysis``) when it is installed,
else by a NumPy pair histogram; both normalise by the N - 1 other particles a
centre can see. The mean squared displacement needs unwrapped positions:
positions + images * L, with the image counts that the engine keeps and GSD files
carry.
"""

from __future__ import annotations

import math
import os
import sys
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np
from numpy.typing import ArrayLike

from . import transport
from ._optional import available
from .landscape import inherent_structures
from .structure import density_profile, structure_factor
from .transport import diffusion, green_kubo

vacf = transport.velocity_autocorrelation

__all__ = ["OBSERVABLES", "block_error", "Estimate", "estimate", "second_half", "radial_distribution", "msd", "unwrap",
           "vacf", "diffusion", "green_kubo", "structure_factor", "density_profile", "inherent_structures"]

# Quantities a sweep averages over the second half of every run, in table order:
# the temperature T, the potential energy per particle u = epot/N, the pressure P
# and the total energy per particle e = etot/N.
OBSERVABLES = ("T", "u", "P", "e")

# Fewest blocks a blocking level may keep and still count towards the error.
MIN_BLOCKS = 16


def block_error(x: ArrayLike) -> float:
    """Standard error of the mean of a correlated series by Flyvbjerg-Petersen
    blocking: the largest naive standard error over the blocking levels that
    keep at least 16 blocks (the first level, the series itself, always counts)."""
    a = np.asarray(x, dtype=np.float64)
    if a.size < 2:
        raise ValueError(f"a standard error needs at least 2 samples, got {a.size}")
    best = 0.0
    while True:
        n = a.size
        best = max(best, float(np.sqrt(np.var(a, ddof=1) / n)))
        if n // 2 < MIN_BLOCKS:
            return best
        a = 0.5 * (a[0 : 2 * (n // 2) : 2] + a[1 : 2 * (n // 2) : 2])


class Estimate(NamedTuple):
    """A mean with its standard error (blocking) over `samples` finite values."""

    mean: float
    error: float    # NaN with fewer than 2 samples: no error bar can be given
    samples: int

    def __str__(self) -> str:
        if self.samples == 0:
            return "-"
        if not math.isfinite(self.error):
            return f"{self.mean:.5g} (1 sample, no error bar)"
        return f"{self.mean:.5g} ± {self.error:.2g}"


def estimate(x: ArrayLike) -> Estimate:
    """The mean of the finite values of `x` and its blocking error."""
    a = np.asarray(x, dtype=np.float64)
    a = a[np.isfinite(a)]
    if a.size == 0:
        return Estimate(math.nan, math.nan, 0)
    error = block_error(a) if a.size > 1 else math.nan
    return Estimate(float(np.mean(a)), error, int(a.size))


def second_half(steps: ArrayLike, values: ArrayLike) -> np.ndarray:
    """The values whose step lies in the second half of the steps logged (the
    part of a run that averages are taken over, after equilibration)."""
    s = np.asarray(steps)
    v = np.asarray(values, dtype=np.float64)
    if s.size == 0:
        return v[:0]
    return v[s >= s[len(s) // 2]]


def unwrap(positions: ArrayLike, images: Optional[ArrayLike], box: ArrayLike) -> np.ndarray:
    """Unwrapped positions: positions + images * box, for (..., N, 3) arrays
    (images None: no crossings recorded, the positions as they are)."""
    x = np.asarray(positions, dtype=np.float64)
    return x if images is None else x + np.asarray(images) * np.asarray(box, dtype=np.float64)


def msd(positions: Any, images: Optional[ArrayLike] = None, box: Optional[ArrayLike] = None, **options: Any) -> Any:
    """Mean squared displacement.

    ``msd(traj)`` (a trajectory, ``vorlan.io.gsd.read_gsd(...)``, or a GSD path;
    options max_lag, species, dt, fft): averaged over all time origins and the
    particles, a ``Correlation`` (time, value, error) from the unwrapped
    positions (``vorlan.transport.mean_squared_displacement``).

    ``msd(positions, images, box)``: from the first frame only, one value per
    frame, ``<|r_i(t) - r_i(0)|^2>`` over the particles, from wrapped `positions`
    (K, N, 3) and their box crossings `images` (K, N, 3) in a box of edges
    `box`. For a fluid it grows as 6 D t at long times (Einstein relation)."""
    if hasattr(positions, "positions") or isinstance(positions, (str, os.PathLike)):
        return transport.mean_squared_displacement(positions, **options)
    if box is None:
        raise ValueError("msd(positions, images, box) needs the box; or give a trajectory: msd(traj)")
    u = unwrap(positions, images, box)
    if u.ndim != 3 or u.shape[-1] != 3:
        raise ValueError(f"positions must have shape (frames, N, 3), got {u.shape}")
    d = u - u[:1]
    return np.mean(np.sum(d * d, axis=-1), axis=-1) if u.shape[1] else np.zeros(len(u))


def radial_distribution(
    frames: Iterable[ArrayLike], box: float, *, bins: int = 150, r_max: Optional[float] = None
) -> Tuple[np.ndarray, np.ndarray]:
    """g(r) averaged over `frames` (each (N, 3) positions in a cubic periodic box
    of edge `box`), from 0 to `r_max` (default and at most half the box) in
    `bins` shells. Returns (bin centres, g).

    Uses freud (``pip install freud-analysis``) when it is installed; else a
    NumPy pair histogram with the minimum image, which for large N takes every
    k-th particle as a centre against all others (unbiased, only noisier).
    """
    box = float(box)
    frames = _checked_frames(frames, (box, box, box))
    half = box / 2
    r_max = half if r_max is None else min(float(r_max), half)
    # freud wants r_max below half its box, which it holds in single precision:
    # 1e-6 keeps clear of that rounding (float32 resolves about 6e-8)
    r_max *= 1 - 1e-6
    single = np.finfo(np.float32)
    if available("freud") and single.tiny < box < single.max:  # else NumPy, in double precision
        return _rdf_freud(frames, box, bins, r_max)
    return _rdf_histogram(frames, box, bins, r_max)


def _checked_frames(frames: Iterable[ArrayLike], sides: ArrayLike) -> List[np.ndarray]:
    """`frames` as float64 arrays, refused when a position is not finite or the
    box of three `sides` has no volume a double can hold."""
    lx, ly, lz = (float(s) for s in np.asarray(sides, dtype=np.float64))
    volume = lx * ly * lz
    if not (sys.float_info.min < volume < sys.float_info.max):
        raise ValueError(f"box = {[lx, ly, lz]!r} is not allowed: g(r) needs a box whose volume is a positive "
                         "double (about 2e-308 to 2e308)")
    out = [np.asarray(x, dtype=np.float64) for x in frames]
    for k, x in enumerate(out):
        if not np.isfinite(x).all():
            raise ValueError(f"frame {k} holds a position that is not finite: no g(r)")
    return out


def _rdf_freud(frames: Iterable[ArrayLike], box: float, bins: int, r_max: float) -> Tuple[np.ndarray, np.ndarray]:
    import freud  # type: ignore[import-not-found]

    half = box / 2
    fbox = freud.box.Box.cube(box)
    rdf = freud.density.RDF(bins=bins, r_max=r_max)
    n = 0
    for x in frames:
        points = (np.asarray(x, dtype=np.float64) % box - half).astype(np.float32)
        n = len(points)
        rdf.compute(system=(fbox, points), reset=False)
    # freud normalises by the density N/V; the other N - 1 particles are what a
    # centre can see, as in the histogram below
    scale = n / (n - 1) if n > 1 else 1.0
    return np.asarray(rdf.bin_centers, dtype=np.float64), scale * np.asarray(rdf.rdf, dtype=np.float64)


def _rdf_histogram(frames: Iterable[ArrayLike], box: float, bins: int, r_max: float) -> Tuple[np.ndarray, np.ndarray]:
    """Pair histogram with the minimum image; for large N every k-th particle is
    a centre against all others (unbiased, only noisier)."""
    edges = np.linspace(0.0, r_max, bins + 1)
    counts = np.zeros(bins)
    centres_total = 0
    n = 0
    for frame in frames:
        x = np.asarray(frame, dtype=np.float64)
        n = len(x)
        if n < 2:
            continue
        # about 2e8 separations per frame at most
        stride = max(1, math.ceil(n * n / 2e8))
        centres = np.arange(0, n, stride)
        chunk = max(1, int(4e6 // n))  # about 100 MB of separations at a time
        for start in range(0, len(centres), chunk):
            c = centres[start:start + chunk]
            d = x[None, :, :] - x[c, None, :]
            d -= box * np.round(d / box)
            r = np.sqrt(np.einsum("ijk,ijk->ij", d, d))
            r[np.arange(len(c)), c] = np.inf  # no self pairs
            counts += np.histogram(r, bins=edges)[0]
        centres_total += len(centres)
    centre = 0.5 * (edges[1:] + edges[:-1])
    if centres_total == 0:
        return centre, np.zeros(bins)
    rho = (n - 1) / box**3
    shell = 4.0 / 3.0 * np.pi * (edges[1:] ** 3 - edges[:-1] ** 3)
    return centre, counts / (centres_total * rho * shell)


def partial_radial_distribution(
    frames: Iterable[ArrayLike], box: ArrayLike, types: ArrayLike, species: Sequence[str], *, bins: int = 150,
    r_max: Optional[float] = None,
) -> Tuple[np.ndarray, Dict[Tuple[str, str], np.ndarray]]:
    """Partial radial distribution functions g_ab(r) of a mixture, averaged over
    `frames` ((N, 3) positions in the periodic box of sides `box`, one number or
    three), particle i of species ``species[types[i]]``. g_ab(r) is the density
    of b particles at distance r from an a particle over the mean density of b
    (N_b - 1 for a = b), so that every g_ab tends to 1 in a liquid (J.-P. Hansen
    and I. R. McDonald, Theory of Simple Liquids, ch. 2). Returns (bin centres,
    {(a, b): g_ab} for a <= b in species order). freud when installed, else a
    NumPy pair histogram."""
    sides = np.broadcast_to(np.asarray(box, dtype=np.float64), (3,)).copy()
    frames = _checked_frames(frames, sides)
    t = np.asarray(types)
    r_max = float(sides.min()) / 2 if r_max is None else min(float(r_max), float(sides.min()) / 2)
    r_max *= 1 - 1e-6  # clear of freud's single-precision box
    edges = np.linspace(0.0, r_max, bins + 1)
    shell = 4.0 / 3.0 * np.pi * (edges[1:] ** 3 - edges[:-1] ** 3)
    volume = float(np.prod(sides))
    pairs = [(a, b) for a in range(len(species)) for b in range(a, len(species))]
    counts = {p: np.zeros(bins) for p in pairs}
    nr_frames = 0
    use_freud = available("freud")
    for frame in frames:
        x = np.asarray(frame, dtype=np.float64) % sides
        nr_frames += 1
        for a, b in pairs:
            xa, xb = x[t == a], x[t == b]
            counts[(a, b)] += _pair_counts(xa, xb, a == b, sides, edges, use_freud)
    centre = 0.5 * (edges[1:] + edges[:-1])
    out: Dict[Tuple[str, str], np.ndarray] = {}
    for a, b in pairs:
        na, nb = int((t == a).sum()), int((t == b).sum())
        others = nb - 1 if a == b else nb
        norm = nr_frames * na * others / volume * shell
        out[(species[a], species[b])] = counts[(a, b)] / norm if na and others > 0 else np.zeros(bins)
    return centre, out


def _pair_counts(xa: np.ndarray, xb: np.ndarray, same: bool, sides: np.ndarray, edges: np.ndarray,
                 use_freud: bool) -> np.ndarray:
    """Histogram of the distances from each a particle to the b particles
    (without self pairs when the sets are the same)."""
    if len(xa) == 0 or len(xb) == 0:
        return np.zeros(len(edges) - 1)
    if use_freud:
        import freud  # type: ignore[import-not-found]

        fbox = freud.box.Box(*sides)
        centred_b = (xb - sides / 2).astype(np.float32)
        centred_a = (xa - sides / 2).astype(np.float32)
        query = freud.locality.AABBQuery(fbox, centred_b)
        nlist = query.query(centred_a, {"r_max": edges[-1], "exclude_ii": same}).toNeighborList()
        return np.histogram(nlist.distances, bins=edges)[0].astype(np.float64)
    counts = np.zeros(len(edges) - 1)
    chunk = max(1, int(4e6 // len(xb)))
    for start in range(0, len(xa), chunk):
        d = xb[None, :, :] - xa[start:start + chunk, None, :]
        d -= sides * np.round(d / sides)
        r = np.sqrt(np.einsum("ijk,ijk->ij", d, d))
        if same:
            rows = np.arange(r.shape[0])
            r[rows, start + rows] = np.inf
        counts += np.histogram(r, bins=edges)[0]
    return counts
