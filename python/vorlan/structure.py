"""Structure of a trajectory: the static structure factor S(k) on the box's
grid of wave vectors, per species pair for a mixture, and density profiles
along an axis (slabs, walls, interfaces).

S(k) = < rho_a(k) rho_b(-k) > / sqrt(N_a N_b), rho_a(k) = sum over particles j
of species a of exp(-i k . r_j), for the wave vectors k = 2 pi (nx/Lx, ny/Ly,
nz/Lz) of the periodic box with ``0 < |k| <= kmax``, averaged over the frames and
over the vectors of one ``|k|`` (Ashcroft-Langreth partials: S_aa -> 1 at large k,
S_ab -> 0). k and -k give complex conjugate densities, so only half the grid
is summed. The sum over particles runs as matrix products: for each nx the
(N, ny) table of exp(-i (kx x + ky y)) times the (N, nz) table of exp(-i kz z),
O(N nk) per frame in BLAS.
"""

from __future__ import annotations

from typing import Any, Dict, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from .transport import frames_of

__all__ = ["StructureFactor", "wave_vectors", "structure_factor", "density_profile"]


class StructureFactor(NamedTuple):
    """S(k) per shell of ``|k|``: one curve, or one per species pair of a mixture."""

    k: np.ndarray                                 # (M,) the distinct |k| (rounded to 1e-9 relative)
    s: Union[np.ndarray, Dict[Tuple[str, str], np.ndarray]]  # (M,) or (a, b) -> (M,) for a <= b
    counts: np.ndarray                            # (M,) wave vectors per shell (of the half grid)


def _grid(box: np.ndarray, kmax: float) -> np.ndarray:
    """The integer vectors (nx, ny, nz) of the half grid (first nonzero
    component positive) with ``0 < |k| <= kmax``, as an (M, 3) int array."""
    nmax = np.floor(kmax * box / (2 * np.pi)).astype(int)
    axes = [np.arange(-m, m + 1) for m in nmax]
    n = np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1).reshape(-1, 3)
    k = 2 * np.pi * n / box
    keep = (np.sum(k * k, axis=1) <= kmax * kmax) & _upper_half(n)
    return n[keep]


def _upper_half(n: np.ndarray) -> np.ndarray:
    return (n[:, 0] > 0) | ((n[:, 0] == 0) & ((n[:, 1] > 0) | ((n[:, 1] == 0) & (n[:, 2] > 0))))


def wave_vectors(box: Any, kmax: float) -> np.ndarray:
    """The wave vectors 2 pi (nx/Lx, ny/Ly, nz/Lz) of half the grid with
    ``0 < |k| <= kmax``, (M, 3)."""
    b = np.asarray(box, dtype=np.float64)
    return 2 * np.pi * _grid(b, float(kmax)) / b


def _densities(x: np.ndarray, box: np.ndarray, nmax: np.ndarray) -> np.ndarray:
    """rho(k) = sum_j exp(-i k . r_j) on the full grid -nmax .. nmax per axis,
    (2nx+1, 2ny+1, 2nz+1) complex."""
    phase = [np.exp(-2j * np.pi * np.outer(x[:, a] / box[a], np.arange(-nmax[a], nmax[a] + 1))) for a in range(3)]
    ex, ey, ez = phase
    out = np.empty((ex.shape[1], ey.shape[1], ez.shape[1]), dtype=np.complex128)
    for i in range(ex.shape[1]):
        out[i] = (ex[:, i, None] * ey).T @ ez
    return out


def structure_factor(traj: Any, kmax: float = 20.0, *, frames: Optional[Sequence[int]] = None,
                     bins: Optional[int] = None) -> StructureFactor:
    """S(k) of a trajectory (``vorlan.io.gsd.read_gsd(...)`` or a GSD path) up to
    `kmax`, averaged over `frames` (default all) and over the wave vectors of
    each ``|k|`` on the box's grid (or, with `bins`, over bins of ``|k|`` of equal
    width). A mixture gives the partial S_ab(k) of every pair of species. The
    box may change between frames (a barostat's run); the grid is that of each
    frame, the shells those of the first."""
    traj = frames_of(traj)
    kmax = float(kmax)
    if not (np.isfinite(kmax) and kmax > 0):
        raise ValueError(f"kmax = {kmax} is not allowed: a finite positive wave number")
    chosen = range(traj.positions.shape[0]) if frames is None else list(frames)
    species = list(traj.species or ["A"])
    n = traj.positions.shape[1]
    types = np.zeros(n, dtype=np.int32) if traj.types is None else np.asarray(traj.types)
    present = [a for a in range(len(species)) if np.any(types == a)]
    pairs = [(a, b) for i, a in enumerate(present) for b in present[i:]]
    box0 = np.asarray(traj.box[0], dtype=np.float64)
    grid = _grid(box0, kmax)
    if len(grid) == 0:
        raise ValueError(f"kmax = {kmax} is below the smallest wave number of the box, 2 pi / L = "
                         f"{2 * np.pi / box0.max():.6g}")
    kmag = np.linalg.norm(2 * np.pi * grid / box0, axis=1)
    sums = {p: np.zeros(len(grid)) for p in pairs}
    for f in chosen:
        box = np.asarray(traj.box[f], dtype=np.float64)
        x = np.asarray(traj.positions[f], dtype=np.float64)
        nmax = np.max(np.abs(grid), axis=0)
        index = tuple((grid + nmax).T)
        rho = {a: _densities(x[types == a], box, nmax)[index] for a in present}
        for a, b in pairs:
            norm = np.sqrt(np.sum(types == a) * np.sum(types == b))
            sums[(a, b)] += np.real(rho[a] * np.conj(rho[b])) / norm
    nf = len(chosen)
    if bins is None:
        shells, inverse = np.unique(np.round(kmag, 9), return_inverse=True)
        centres = shells
    else:
        edges = np.linspace(0.0, kmax, int(bins) + 1)
        inverse = np.clip(np.digitize(kmag, edges) - 1, 0, int(bins) - 1)
        centres = 0.5 * (edges[1:] + edges[:-1])
    counts = np.bincount(inverse, minlength=len(centres))
    has = counts > 0
    curves = {(species[a], species[b]): (np.bincount(inverse, weights=sums[(a, b)], minlength=len(centres))[has]
                                         / (counts[has] * nf)) for a, b in pairs}
    s = next(iter(curves.values())) if len(species) == 1 else curves
    return StructureFactor(centres[has], s, counts[has])


def density_profile(traj: Any, axis: Union[str, int] = "z", bins: int = 50, *, species: Optional[str] = None,
                    frames: Optional[Sequence[int]] = None) -> Tuple[np.ndarray, np.ndarray]:
    """Number density along `axis` ("x", "y", "z" or 0, 1, 2) in `bins` slabs of
    the box, averaged over `frames` (default all): (slab centres as fractions of
    the box times the mean edge, density = particles per slab volume). With
    `species` only that species is counted."""
    traj = frames_of(traj)
    a = {"x": 0, "y": 1, "z": 2}.get(axis, -1) if isinstance(axis, str) else int(axis)
    if a not in (0, 1, 2):
        raise ValueError(f"axis = {axis!r} is not allowed: 'x', 'y', 'z' or 0, 1, 2")
    if isinstance(bins, bool) or int(bins) != bins or bins < 1:
        raise ValueError(f"bins = {bins!r} is not allowed: a positive number of slabs")
    chosen = range(traj.positions.shape[0]) if frames is None else list(frames)
    n = traj.positions.shape[1]
    if species is not None:
        names = list(traj.species or ["A"])
        if species not in names:
            raise ValueError(f"species = {species!r} is not one of the trajectory's: {names}")
    types = np.zeros(n, dtype=np.int32) if traj.types is None else np.asarray(traj.types)
    sel = np.ones(n, dtype=bool) if species is None else types == list(traj.species or ["A"]).index(species)
    counts = np.zeros(int(bins))
    edges = np.linspace(0.0, 1.0, int(bins) + 1)
    slab_volume = 0.0  # summed over the frames
    for f in chosen:
        box = np.asarray(traj.box[f], dtype=np.float64)
        s = (np.asarray(traj.positions[f][sel, a], dtype=np.float64) / box[a]) % 1.0
        counts += np.histogram(s, bins=edges)[0]
        slab_volume += float(np.prod(box)) / bins
    length = float(np.mean(np.asarray(traj.box, dtype=np.float64)[list(chosen), a]))
    return 0.5 * (edges[1:] + edges[:-1]) * length, counts / slab_volume
