"""Figures of a run: energies, temperature and pressure against the step, and
the radial distribution function g(r) of a trajectory; also the run log (CSV)
that ``vorlan run --log`` writes and these figures read.

matplotlib is optional (``pip install 'vorlan[plot]'``); figures are drawn with
its Agg backend, so no display is needed.
"""

from __future__ import annotations

import csv
import math
import os
import warnings
from typing import Dict, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from ._atomic import replace_atomically

__all__ = ["read_log", "write_log", "radial_distribution", "plot_run", "plot_files", "PlotError"]

PathLike = Union[str, "os.PathLike[str]"]

LOG_COLUMNS = ("step", "time", "ekin", "epot", "etot", "temperature", "pressure")


class PlotError(RuntimeError):
    """A figure that cannot be made: matplotlib missing, an unreadable input."""


def pyplot():
    """matplotlib.pyplot on the Agg backend, or PlotError saying how to get it."""
    try:
        with warnings.catch_warnings():
            # some matplotlib releases warn at import about their own use of newer
            # pyparsing releases: nothing a user of vorlan can act on
            warnings.simplefilter("ignore", DeprecationWarning)
            import matplotlib

            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
    except ImportError:
        raise PlotError("figures need matplotlib: pip install 'vorlan[plot]' (or pip install matplotlib)") from None
    return plt


# ----------------------------------------------------------------------------- run log


def write_log(path: PathLike, columns: Mapping[str, np.ndarray], meta: Mapping[str, object]) -> str:
    """Writes the run log: `meta` as ``# key = value`` lines, then a CSV table
    with the columns of LOG_COLUMNS present in `columns` (equal lengths; NaN is
    written as an empty field, e.g. steps without a pressure sample). Numbers
    are written with all their digits. The file is replaced whole (temporary
    file, then rename), so an interrupted write leaves the previous one."""
    name = os.fspath(path)
    names = [c for c in LOG_COLUMNS if c in columns]
    data = [np.asarray(columns[c]) for c in names]
    with replace_atomically(name) as tmp, open(tmp, "w", newline="") as f:
        for key, value in meta.items():
            f.write(f"# {key} = {value}\n")
        w = csv.writer(f, lineterminator="\n")
        w.writerow(names)
        for row in zip(*data):
            w.writerow(["" if isinstance(x, float) and math.isnan(x) else repr(x) for x in (v.item() for v in row)])
    return name


def read_log(path: PathLike) -> Tuple[Dict[str, np.ndarray], Dict[str, str]]:
    """Reads a run log: (columns name -> float64 array, NaN for empty fields;
    meta key -> text). Raises PlotError when the file is not such a log."""
    name = os.fspath(path)
    meta: Dict[str, str] = {}
    rows = []
    header = None
    with open(name, newline="") as f:
        for number, line in enumerate(f, start=1):
            if line.startswith("#"):
                key, eq, value = line[1:].partition("=")
                if eq:
                    meta[key.strip()] = value.strip()
                continue
            if not line.strip():
                continue
            fields = next(csv.reader([line]))
            if header is None:
                header = [h.strip() for h in fields]
                if "step" not in header:
                    raise PlotError(f"{name}: not a vorlan run log (no 'step' column in line {number})")
                continue
            if len(fields) != len(header):
                raise PlotError(f"{name}, line {number}: {len(fields)} fields, the header has {len(header)}")
            try:
                rows.append([float(x) if x.strip() else math.nan for x in fields])
            except ValueError as e:
                raise PlotError(f"{name}, line {number}: {e}") from None
    if header is None:
        raise PlotError(f"{name}: empty, not a vorlan run log")
    table = np.array(rows, dtype=np.float64).reshape(len(rows), len(header))
    return {h: table[:, i] for i, h in enumerate(header)}, meta


# ----------------------------------------------------------------------------- g(r)


def radial_distribution(
    frames: Sequence[np.ndarray], box: float, *, bins: int = 150, r_max: Optional[float] = None
) -> Tuple[np.ndarray, np.ndarray]:
    """g(r) averaged over `frames` (each (N, 3) positions in a cubic periodic box
    of edge `box`), from 0 to `r_max` (default and at most half the box) in
    `bins` shells. Returns (bin centres, g).

    Uses freud (``pip install freud-analysis``) when it is installed; else a
    NumPy pair histogram with the minimum image, which for large N takes every
    k-th particle as a centre against all others (unbiased, only noisier).
    """
    box = float(box)
    half = box / 2
    r_max = half if r_max is None else min(float(r_max), half)
    # freud wants r_max below half its box, which it holds in single precision:
    # 1e-6 keeps clear of that rounding (float32 resolves about 6e-8)
    r_max *= 1 - 1e-6
    try:
        import freud  # type: ignore[import-not-found]
    except ImportError:
        freud = None
    if freud is not None:
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

    edges = np.linspace(0.0, r_max, bins + 1)
    counts = np.zeros(bins)
    centres_total = 0
    n = 0
    for x in frames:
        x = np.asarray(x, dtype=np.float64)
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


def gsd_frames(path: PathLike, last: int = 5):
    """(positions of the last `last` frames, box edge, their step numbers) of a GSD trajectory."""
    from .trajectory import read_gsd

    traj = read_gsd(os.fspath(path))
    positions = np.asarray(traj.positions)
    if positions.ndim != 3 or len(positions) == 0:
        raise PlotError(f"{os.fspath(path)}: no frames")
    box = np.asarray(traj.box, dtype=np.float64)
    edge = float(box.reshape(-1, 3)[-1][0]) if box.ndim else float(box)
    steps = np.asarray(getattr(traj, "steps", getattr(traj, "step", np.arange(len(positions)))))
    return positions[-last:], edge, steps[-last:]


# ----------------------------------------------------------------------------- figures


def _mean_spread(x: np.ndarray) -> Optional[Tuple[float, float]]:
    x = x[np.isfinite(x)]
    if len(x) == 0:
        return None
    return float(np.mean(x)), float(np.std(x, ddof=1)) if len(x) > 1 else 0.0


def plot_run(
    out: PathLike,
    columns: Optional[Mapping[str, np.ndarray]] = None,
    meta: Optional[Mapping[str, object]] = None,
    rdf: Optional[Tuple[np.ndarray, np.ndarray, str]] = None,
    title: Optional[str] = None,
) -> str:
    """Draws a run: from the log `columns` the energies per particle, the
    temperature (with the target kT from `meta` when known) and the pressure
    against the step; from `rdf` = (r, g, label) the radial distribution
    function. Writes a PNG to `out` and returns its path."""
    plt = pyplot()
    meta = dict(meta or {})
    panels = []
    if columns is not None:
        panels += ["energy", "temperature"]
        if "pressure" in columns and np.isfinite(columns["pressure"]).any():
            panels.append("pressure")
    if rdf is not None:
        panels.append("rdf")
    if not panels:
        raise PlotError("nothing to draw")
    rows, cols = (len(panels), 1) if len(panels) < 4 else (2, 2)
    fig, axes = plt.subplots(rows, cols, figsize=(7.5 if cols == 1 else 11, 2.6 * rows + 0.6), squeeze=False)
    axes = list(axes.flat)

    if columns is not None:
        step = columns["step"]
        n = float(meta.get("nr_particles", 0) or 0)
        per = 1.0 / n if n > 0 else 1.0
        unit = " / N" if n > 0 else ""
        start = step[len(step) // 2] if len(step) else 0
        ax = axes[panels.index("energy")]
        for key, label, colour in (("etot", "total", "k"), ("epot", "potential", "tab:blue"), ("ekin", "kinetic", "tab:red")):
            if key in columns:
                ax.plot(step, columns[key] * per, color=colour, lw=1, label=label)
        ax.set_ylabel("energy" + unit)
        ax.legend(loc="best", fontsize="small", ncol=3)

        ax = axes[panels.index("temperature")]
        ax.plot(step, columns["temperature"], color="tab:red", lw=1, label="T = 2 Ekin / (3N - 3)")
        kT = meta.get("kT")
        if kT not in (None, ""):
            ax.axhline(float(kT), color="k", ls="--", lw=1, label=f"target kT = {float(kT):g}")
        ax.set_ylabel("temperature")
        ax.legend(loc="best", fontsize="small")

        if "pressure" in panels:
            ax = axes[panels.index("pressure")]
            p = columns["pressure"]
            ok = np.isfinite(p)
            ax.plot(step[ok], p[ok], ".-", color="tab:green", lw=1, ms=3, label="P = (2 Ekin + W) / 3V")
            ax.set_ylabel("pressure")
            ax.legend(loc="best", fontsize="small")

        for name in ("energy", "temperature", "pressure"):
            if name in panels:
                ax = axes[panels.index(name)]
                if len(step) > 1:
                    label = "second half (averages)" if name == "temperature" else None
                    ax.axvspan(start, step[-1], color="0.93", zorder=0, label=label)
                ax.set_xlabel("step")
                ax.grid(alpha=0.3)

        if len(step) > 1:
            axes[panels.index("temperature")].legend(loc="best", fontsize="small")

    if rdf is not None:
        r, g, label = rdf
        ax = axes[panels.index("rdf")]
        ax.plot(r, g, color="tab:purple", lw=1.2, label=label)
        ax.axhline(1.0, color="k", lw=0.8, ls=":")
        ax.set_xlabel("r")
        ax.set_ylabel("g(r)")
        ax.set_xlim(0, r[-1] if len(r) else 1)
        ax.legend(loc="best", fontsize="small")
        ax.grid(alpha=0.3)
    for ax in axes[len(panels):]:
        ax.set_visible(False)
    if title:
        fig.suptitle(title, fontsize="medium")
    fig.tight_layout()
    name = os.fspath(out)
    fig.savefig(name, dpi=80)
    plt.close(fig)
    return name


def plot_files(inputs: Sequence[PathLike], out: Optional[PathLike] = None) -> str:
    """Draws the figure of `vorlan plot`: a run log (.csv), a GSD trajectory
    (.gsd, for g(r) of its last frames), or both; a directory is a sweep's
    results (``vorlan.sweeps.plot_sweep``). Returns the path of the PNG (by
    default the first input with the suffix .png)."""
    inputs = [os.fspath(p) for p in inputs]
    if out is None:
        base = inputs[0].rstrip(os.sep)
        out = os.path.splitext(base)[0] + ".png"
    out = os.fspath(out)
    for p in inputs:
        if not os.path.exists(p):
            raise PlotError(f"{p}: no such file or directory")
    if len(inputs) == 1 and os.path.isdir(inputs[0]):
        try:
            from .sweeps import plot_sweep
        except ImportError:
            raise PlotError(f"{inputs[0]} is a directory (a sweep's results), but this vorlan has no sweep module") from None
        pyplot()
        return os.fspath(plot_sweep(inputs[0], out))

    columns = meta = rdf = None
    title = []
    for p in inputs:
        if os.path.isdir(p):
            raise PlotError(f"{p}: a sweep's results directory is plotted on its own")
        if p.endswith(".gsd"):
            if rdf is not None:
                raise PlotError("give at most one trajectory")
            positions, edge, steps = gsd_frames(p)
            r, g = radial_distribution(positions, edge)
            lo, hi = int(steps[0]), int(steps[-1])
            rdf = (r, g, f"g(r), {len(positions)} frame(s), steps {lo}-{hi}" if lo != hi else f"g(r), step {lo}")
        else:
            if columns is not None:
                raise PlotError("give at most one run log")
            columns, meta = read_log(p)
        title.append(os.path.basename(p))
    if columns is not None and meta.get("parameters"):
        n = meta.get("nr_particles", "?")
        title = [f"{os.path.basename(meta['parameters'])}: N = {n}, {len(columns['step'])} steps"]
    return plot_run(out, columns, meta, rdf, title=", ".join(title))
