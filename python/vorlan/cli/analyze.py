"""``vorlan analyze run.gsd``: transport and structure of a trajectory, printed
and drawn: the mean squared displacement and the velocity autocorrelation with
the diffusion coefficient from each, the structure factor S(k), and a density
profile along an axis (``vorlan.transport``, ``vorlan.structure``)."""

from __future__ import annotations

import argparse
import warnings
from typing import Any, Dict, List, Tuple

import numpy as np

from .common import EXIT_OK, CommandError, Formatter, check_files, positive_int, say, say_rows


def _panels(args: argparse.Namespace) -> List[str]:
    chosen = [name for name in ("msd", "vacf", "sk") if getattr(args, name)]
    if args.profile:
        chosen.append("profile")
    return chosen or ["msd", "vacf", "sk"]


def cmd_analyze(args: argparse.Namespace) -> int:
    from ..io.gsd import read_gsd
    from ..structure import density_profile, structure_factor
    from ..transport import diffusion

    if args.plot:
        check_files([("the trajectory", args.trajectory)], [("--plot", args.plot)])
    try:
        traj = read_gsd(args.trajectory)
    except (OSError, ValueError) as e:
        raise CommandError(f"{args.trajectory}: {e}") from None
    panels = _panels(args)
    drawn: Dict[str, Tuple[Any, ...]] = {}
    rows = [("frames", f"{traj.nr_frames} of N = {traj.nr_particles}, steps {traj.steps[0]}-{traj.steps[-1]}")]
    try:
        if "msd" in panels or "vacf" in panels:
            d = diffusion(traj, blocks=args.blocks, dt=args.dt)
            if "msd" in panels:
                rows.append(("D from the MSD", f"{d.msd} (slope over t = {d.fit[0]:g} to {d.fit[1]:g})"))
                drawn["msd"] = (d.msd_curve.time, d.msd_curve.value, "t", "MSD")
            if "vacf" in panels and d.vacf is not None and d.vacf_curve is not None:
                rows.append(("D from the VACF", str(d.vacf)))
                drawn["vacf"] = (d.vacf_curve.time, d.vacf_curve.value, "t", "VACF")
        if "sk" in panels:
            frames = range(max(0, traj.nr_frames - args.sk_frames), traj.nr_frames)
            sk = structure_factor(traj, args.kmax, frames=frames, bins=args.kbins)
            curves = sk.s if isinstance(sk.s, dict) else {("A", "A"): sk.s}
            for (a, b), s in curves.items():
                peak = int(np.argmax(s))
                rows.append((f"S_{a}{b}(k) peak" if len(curves) > 1 else "S(k) peak",
                             f"{s[peak]:.4g} at k = {sk.k[peak]:.4g}"))
            drawn["sk"] = (sk.k, curves, "k", "S(k)")
        if "profile" in panels:
            z, rho = density_profile(traj, args.profile, args.bins)
            rows.append((f"density along {args.profile}", f"{rho.min():.4g} to {rho.max():.4g} (mean {rho.mean():.4g})"))
            drawn["profile"] = (z, rho, args.profile, "density")
    except ValueError as e:
        raise CommandError(f"{args.trajectory}: {e}") from None
    say_rows(rows)
    if args.plot:
        _draw(args.plot, drawn)
        say(args.plot)
    return EXIT_OK


def _draw(path: str, drawn: Dict[str, Tuple[Any, ...]]) -> None:
    from ..plot import _matplotlib, save_figure

    fig = _matplotlib().figure.Figure(figsize=(4.2 * len(drawn), 3.4), constrained_layout=True)
    axes = fig.subplots(1, len(drawn), squeeze=False)[0]
    for ax, (name, (x, y, xlabel, ylabel)) in zip(axes, drawn.items()):
        skip = 1 if name == "msd" else 0  # the log axes start after t = 0
        for label, values in (y.items() if isinstance(y, dict) else [(None, y)]):
            ax.plot(x[skip:], values[skip:], label=None if label is None else f"{label[0]}{label[1]}")
        if isinstance(y, dict) and len(y) > 1:
            ax.legend()
        if name == "msd":
            ax.set_xscale("log")
            ax.set_yscale("log")
        if name == "vacf":
            ax.axhline(0.0, color="0.7", lw=0.8)
        ax.set_xlabel(xlabel)
        ax.set_ylabel(ylabel)
    with warnings.catch_warnings():
        # the log axes' labels go through matplotlib's mathtext, whose pyparsing
        # calls some pyparsing releases deprecate: nothing a user can act on
        warnings.simplefilter("ignore", DeprecationWarning)
        save_figure(fig, path, dpi=110)


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "analyze",
        formatter_class=Formatter,
        help="diffusion, S(k) and density profiles of a GSD trajectory",
        description=(
            "Transport and structure of a trajectory: D from the mean squared displacement\n"
            "and from the velocity autocorrelation (both over all time origins, with\n"
            "blocking errors), the structure factor S(k) on the box's wave vectors (partials\n"
            "for a mixture) and a density profile. Without a choice: --msd --vacf --sk."
        ),
        epilog=(
            "Examples:\n"
            "  vorlan run examples/lj_liquid.par --method nve --trajectory nve.gsd --every 5\n"
            "  vorlan analyze nve.gsd --msd --vacf --sk --plot transport.png\n"
            "  vorlan analyze slab.gsd --profile z --bins 100 --plot profile.png"
        ),
    )
    p.add_argument("trajectory", metavar="RUN.gsd", help="a GSD trajectory (frames at a constant interval)")
    p.add_argument("--msd", action="store_true", help="mean squared displacement and D from its slope")
    p.add_argument("--vacf", action="store_true", help="velocity autocorrelation and D from its integral")
    p.add_argument("--sk", action="store_true", help="structure factor S(k)")
    p.add_argument("--kmax", type=float, default=15.0, metavar="K", help="largest wave number of S(k) (default 15)")
    p.add_argument("--kbins", type=positive_int, default=75, metavar="B",
                   help="bins of the wave number k that S(k) is averaged over (default 75)")
    p.add_argument("--sk-frames", type=positive_int, default=10, metavar="M",
                   help="S(k) over the last M frames (default 10)")
    p.add_argument("--profile", choices=("x", "y", "z"), help="density profile along this axis")
    p.add_argument("--bins", type=positive_int, default=50, metavar="B", help="slabs of the profile (default 50)")
    p.add_argument("--blocks", type=positive_int, default=5, metavar="B", help="blocks for the error bars of D")
    p.add_argument("--dt", type=float, metavar="DT", help="time step, when the file does not record it")
    p.add_argument("--plot", metavar="FILE.png", help="draw the chosen functions")
    p.set_defaults(func=cmd_analyze)
