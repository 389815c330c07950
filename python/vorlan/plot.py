"""Figures: a run (energies, temperature and pressure against the step, g(r) of
its trajectory) and a sweep (u and P against the varied setting, with error
bars). matplotlib is optional (``pip install 'vorlan[plot]'``); figures are drawn
with its Agg backend, so no display is needed.
"""

from __future__ import annotations

import os
import warnings
from typing import Any, Dict, List, Mapping, Optional, Tuple, Union

import numpy as np

from ._optional import require
from .analysis import OBSERVABLES
from .io.atomic import replace_atomically

__all__ = ["pyplot", "plot_run", "plot_sweep_table", "figure_format", "save_figure"]

PathLike = Union[str, "os.PathLike[str]"]

def _matplotlib() -> Any:
    with warnings.catch_warnings():
        # some matplotlib releases warn at import about their own use of newer
        # pyparsing releases: nothing a user of vorlan can act on
        warnings.simplefilter("ignore", DeprecationWarning)
        mpl = require("matplotlib", extra="plot", purpose="figures")
        mpl.use("Agg")
        require("matplotlib.figure", extra="plot", purpose="figures")
    return mpl


def pyplot() -> Any:
    """matplotlib.pyplot on the Agg backend, or MissingDependency saying how to get it."""
    _matplotlib()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return require("matplotlib.pyplot", extra="plot", purpose="figures")


def figure_format(path: PathLike) -> str:
    """The image format of a figure file, from its extension (png, pdf, svg, ...);
    ValueError naming the formats matplotlib writes when it writes no such one."""
    name = os.fspath(path)
    ext = os.path.splitext(name)[1].lstrip(".").lower()
    supported = _matplotlib().figure.Figure().canvas.get_supported_filetypes()
    if ext not in supported:
        raise ValueError(f"{name}: {'no extension' if not ext else repr('.' + ext)} names no image format "
                         f"matplotlib writes; use one of {', '.join('.' + e for e in sorted(supported))}")
    return ext


def save_figure(fig: Any, path: PathLike, dpi: int) -> str:
    """Saves `fig` to `path` in the format of its extension; the file appears
    whole or not at all (io.atomic). Returns the path."""
    name = os.fspath(path)
    fmt = figure_format(name)
    with replace_atomically(name) as tmp:
        fig.savefig(tmp, dpi=dpi, format=fmt)
    return name


def plot_run(
    out: PathLike,
    columns: Optional[Mapping[str, np.ndarray]] = None,
    meta: Optional[Mapping[str, Any]] = None,
    rdf: Optional[Tuple[np.ndarray, Any, str]] = None,
    title: Optional[str] = None,
) -> str:
    """Draws a run: from the log `columns` the energies per particle, the
    temperature (with the target kT from `meta` when known), the pressure, the
    pressure tensor's diagonal (columns pxx, pyy, pzz) and the work of each
    external field (columns work_NAME) against the step, each where the log
    has it; from `rdf` = (r, g, label) the radial distribution
    function (a dict of curves: the partial g_ab(r) of a mixture). Writes the
    figure to `out` (its format from the extension, see figure_format) and
    returns its path."""
    plt = pyplot()
    meta = dict(meta or {})
    panels = _run_panels(columns, rdf)
    rows, cols = (len(panels), 1) if len(panels) < 4 else ((len(panels) + 1) // 2, 2)
    fig, grid = plt.subplots(rows, cols, figsize=(7.5 if cols == 1 else 11, 2.6 * rows + 0.6), squeeze=False)
    axes = dict(zip(panels, grid.flat))
    if columns is not None:
        _draw_log(axes, columns, meta)
    if rdf is not None:
        _draw_rdf(axes["rdf"], *rdf)
    for ax in list(grid.flat)[len(panels):]:
        ax.set_visible(False)
    if title:
        fig.suptitle(title, fontsize="medium")
    fig.tight_layout()
    try:
        return save_figure(fig, out, dpi=80)
    finally:
        plt.close(fig)


# The run log's columns of the pressure tensor's diagonal.
TENSOR_COLUMNS = ("pxx", "pyy", "pzz")


def _work_columns(columns: Mapping[str, np.ndarray]) -> List[str]:
    """The columns of the work each external field did ("work_NAME"), where any is finite."""
    return [k for k in columns if k.startswith("work_") and np.isfinite(columns[k]).any()]


def _run_panels(columns: Optional[Mapping[str, np.ndarray]], rdf: Any) -> List[str]:
    """The panels of a run's figure, in order: energy, temperature and pressure
    where the log has them, then g(r)."""
    panels = []
    if columns is not None:
        panels += ["energy"] + (["temperature"] if "temperature" in columns else [])
        if "pressure" in columns and np.isfinite(columns["pressure"]).any():
            panels.append("pressure")
        if any(k in columns and np.isfinite(columns[k]).any() for k in TENSOR_COLUMNS):
            panels.append("tensor")
        if _work_columns(columns):
            panels.append("work")
    if rdf is not None:
        panels.append("rdf")
    if not panels:
        raise ValueError("nothing to draw")
    return panels


def _draw_log(axes: Dict[str, Any], columns: Mapping[str, np.ndarray], meta: Mapping[str, Any]) -> None:
    """The log's panels against the step: energies per particle, temperature with
    the target kT, the sampled pressure; the second half (the averages) shaded."""
    step = columns["step"]
    n = float(meta.get("nr_particles", 0) or 0)
    per = 1.0 / n if n > 0 else 1.0
    ax = axes["energy"]
    for key, label, colour in (("etot", "total", "k"), ("epot", "potential", "tab:blue"), ("ekin", "kinetic", "tab:red")):
        if key in columns:
            ax.plot(step, columns[key] * per, color=colour, lw=1, label=label)
    ax.set_ylabel("energy" + (" / N" if n > 0 else ""))
    ax.legend(loc="best", fontsize="small", ncol=3)

    if "temperature" in axes:
        ax = axes["temperature"]
        ax.plot(step, columns["temperature"], color="tab:red", lw=1, label="T = 2 Ekin / (3N - 3)")
        kT: Any = meta.get("kT")
        if kT not in (None, ""):
            ax.axhline(float(kT), color="k", ls="--", lw=1, label=f"target kT = {float(kT):g}")
        ax.set_ylabel("temperature")
        ax.legend(loc="best", fontsize="small")

    if "pressure" in axes:
        ax = axes["pressure"]
        p = columns["pressure"]
        ok = np.isfinite(p)
        ax.plot(step[ok], p[ok], ".-", color="tab:green", lw=1, ms=3, label="P = (2 Ekin + W) / 3V")
        ax.set_ylabel("pressure")
        ax.legend(loc="best", fontsize="small")

    if "tensor" in axes:
        ax = axes["tensor"]
        for key, colour in zip(TENSOR_COLUMNS, ("tab:blue", "tab:orange", "tab:green")):
            if key in columns:
                ok = np.isfinite(columns[key])
                ax.plot(step[ok], columns[key][ok], ".-", color=colour, lw=1, ms=3, label=key.replace("p", "P", 1))
        ax.set_ylabel("pressure tensor")
        ax.legend(loc="best", fontsize="small", ncol=3)

    if "work" in axes:
        ax = axes["work"]
        for key in _work_columns(columns):
            ok = np.isfinite(columns[key])
            ax.plot(step[ok], columns[key][ok] * per, lw=1, label=key[len("work_"):])
        ax.set_ylabel("work of the fields" + (" / N" if n > 0 else ""))
        ax.legend(loc="best", fontsize="small")

    start = step[len(step) // 2] if len(step) else 0
    for name in ("energy", "temperature", "pressure", "tensor", "work"):
        if name in axes:
            ax = axes[name]
            if len(step) > 1:
                shade = "second half (averages)" if name == "temperature" else None
                ax.axvspan(start, step[-1], color="0.93", zorder=0, label=shade)
            ax.set_xlabel("step")
            ax.grid(alpha=0.3)
    if len(step) > 1 and "temperature" in axes:
        axes["temperature"].legend(loc="best", fontsize="small")


def _draw_rdf(ax: Any, r: np.ndarray, g: Any, label: str) -> None:
    """g(r), or the partial g_ab(r) of a mixture (a dict of curves), with g = 1."""
    if isinstance(g, dict):
        for name, curve in g.items():
            ax.plot(r, curve, lw=1.2, label=name)
        ax.set_title(label, fontsize="small")
    else:
        ax.plot(r, g, color="tab:purple", lw=1.2, label=label)
    ax.axhline(1.0, color="k", lw=0.8, ls=":")
    ax.set_xlabel("r")
    ax.set_ylabel("g(r)")
    ax.set_xlim(0, r[-1] if len(r) else 1)
    ax.legend(loc="best", fontsize="small")
    ax.grid(alpha=0.3)


def plot_sweep_table(mean: Any, out_png: PathLike, reference: Optional[Mapping[str, Any]] = None) -> str:
    """Draws u and P (replica means with error bars) of the table `mean` (one row
    per grid point, as ``vorlan.sweeps.average_replicas`` gives it) against its
    first varied setting, the density rho = N/V standing in for cell_length or
    nr_particles; the other varied settings label the curves. `reference`:
    optional {"rho" or key: [...], "u": [...], "P": [...], "label": text} drawn
    as open squares (published values, say). Returns the path written."""
    figure = _matplotlib().figure
    if mean.empty:
        raise ValueError("no finished runs to plot: every run failed")
    varied = [c for c in mean.columns if c not in ("replicas", "rho") and c not in OBSERVABLES and not c.endswith("_err")]
    x = varied[0] if varied else "rho"
    others = varied[1:]
    if x in ("cell_length", "nr_particles"):
        x = "rho"
    # a Figure of its own, not pyplot: the caller's backend and figures stay as they are
    fig = figure.Figure(figsize=(9, 3.6), constrained_layout=True)
    axes = fig.subplots(1, 2)
    curves = mean.groupby(others, sort=False) if others else [((), mean)]
    for key, group in curves:
        key = key if isinstance(key, tuple) else (key,)
        label = ", ".join(f"{k} = {v}" for k, v in zip(others, key)) or None
        group = group.sort_values(x)
        for ax, name in zip(axes, ("u", "P")):
            ax.errorbar(group[x], group[name], yerr=group[name + "_err"], marker="o", ms=4, capsize=2, label=label)
    if reference is not None:
        for ax, name in zip(axes, ("u", "P")):
            ax.plot(reference[x], reference[name], "s", mfc="none", mec="k", ms=8,
                    label=reference.get("label", "reference"))
    symbols = {"rho": "density ρ", "kT": "kT"}
    for ax, name in zip(axes, ("potential energy per particle u", "pressure P")):
        ax.set_xlabel(symbols.get(x, x))
        ax.set_ylabel(name)
        if others or reference is not None:
            ax.legend(fontsize="small")
    return save_figure(fig, out_png, dpi=120)
