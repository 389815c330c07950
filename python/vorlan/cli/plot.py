"""``vorlan plot LOG [GSD]``: the figure of a run log, of g(r) of a trajectory's
last frames, or of a sweep's results directory."""

from __future__ import annotations

import argparse
import os
from typing import Any, Dict, Optional, Sequence, Tuple

import numpy as np

from ..analysis import partial_radial_distribution, radial_distribution
from ..io.gsd import read_gsd
from ..io.runlog import read_log
from ..plot import figure_format, plot_run, pyplot
from .common import EXIT_OK, CommandError, Formatter, check_files, say


def cmd_plot(args: argparse.Namespace) -> int:
    if len(args.inputs) > 2:
        raise CommandError("give a run log, a trajectory, or one of each")
    try:
        out = plot_files(args.inputs, args.output)
    except (OSError, ValueError, ImportError) as e:
        raise CommandError(str(e)) from None
    say(out)
    return EXIT_OK


def gsd_frames(path: str, last: int = 5) -> Tuple[np.ndarray, float, np.ndarray]:
    """(positions of the last `last` frames, box edge, their step numbers) of a GSD trajectory."""
    traj = read_gsd(os.fspath(path))
    positions = np.asarray(traj.positions)
    if positions.ndim != 3 or len(positions) == 0:
        raise CommandError(f"{os.fspath(path)}: no frames")
    box = np.asarray(traj.box, dtype=np.float64)
    edge = float(box.reshape(-1, 3)[-1][0]) if box.ndim else float(box)
    steps = np.asarray(getattr(traj, "steps", getattr(traj, "step", np.arange(len(positions)))))
    return positions[-last:], edge, steps[-last:]


def trajectory_rdf(path: str) -> Tuple[np.ndarray, Any, str]:
    """(r, g, label): g(r) over the last frames of the GSD trajectory at `path`;
    for a mixture g is a dict of the partial g_ab(r) by pair of species."""
    traj = read_gsd(os.fspath(path))
    positions, edge, steps = gsd_frames(path)
    lo, hi = int(steps[0]), int(steps[-1])
    label = f"{len(positions)} frame(s), steps {lo}-{hi}" if lo != hi else f"step {lo}"
    try:
        if traj.species is not None and len(traj.species) > 1 and traj.types is not None:
            r, partial = partial_radial_distribution(list(positions), traj.box[-1], traj.types, traj.species)
            return r, {f"g_{a}{b}(r)": g for (a, b), g in partial.items()}, label
        r, g = radial_distribution(list(positions), edge)
    except ValueError as e:
        raise ValueError(f"{path}: {e}") from None
    return r, g, f"g(r), {label}"


def plot_files(inputs: Sequence[str], out: Optional[str] = None) -> str:
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
            raise CommandError(f"{p}: no such file or directory")
    check_files([("the input", p) for p in inputs], [("the figure", out)])
    figure_format(out)
    if len(inputs) == 1 and os.path.isdir(inputs[0]):
        from ..sweeps import plot_sweep

        pyplot()
        return os.fspath(plot_sweep(inputs[0], out))

    columns: Optional[Dict[str, np.ndarray]] = None
    meta: Dict[str, str] = {}
    rdf: Optional[Tuple[np.ndarray, Any, str]] = None
    title = []
    for p in inputs:
        if os.path.isdir(p):
            raise CommandError(f"{p}: a sweep's results directory is plotted on its own")
        if p.endswith(".gsd"):
            if rdf is not None:
                raise CommandError("give at most one trajectory")
            rdf = trajectory_rdf(p)
        else:
            if columns is not None:
                raise CommandError("give at most one run log")
            try:
                columns, meta = read_log(p)
            except ValueError as e:
                raise CommandError(str(e)) from None
        title.append(os.path.basename(p))
    if columns is not None and meta.get("parameters"):
        n = meta.get("nr_particles", "?")
        title = [f"{os.path.basename(meta['parameters'])}: N = {n}, {len(columns['step'])} steps"]
    return plot_run(out, columns, meta, rdf, title=", ".join(title))


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "plot",
        formatter_class=Formatter,
        help="draw a run log (energies, temperature, pressure), g(r) of a trajectory, or a sweep",
        description=(
            "Draws a PNG from a run log written by 'vorlan run --log' (energies per particle,\n"
            "temperature with its target, pressure against the step), from a GSD trajectory\n"
            "(the radial distribution function g(r) of its last frames), or both; a\n"
            "directory is a sweep's results. Needs matplotlib: pip install 'vorlan[plot]'."
        ),
        epilog="Example:\n  vorlan plot run.csv run.gsd -o run.png",
    )
    p.add_argument("inputs", nargs="+", metavar="LOG_OR_GSD", help="run log (.csv), trajectory (.gsd) or sweep directory")
    p.add_argument("-o", "--output", metavar="OUT.png", help="the figure (default: the first input with .png)")
    p.set_defaults(func=cmd_plot)
