"""``vorlan minimize PARAMS|FILE``: the nearest minimum of the potential energy
(FIRE, ``Simulation.minimize``) of a parameter file's start or of a frame of a
GSD, extended XYZ or LAMMPS data file, written to a GSD file."""

from __future__ import annotations

import argparse
import os
from typing import Any, Dict

from .common import EXIT_FAILED, EXIT_OK, CommandError, Formatter, check_files, count, say, say_rows, team_size

START_EXTENSIONS = (".gsd", ".xyz", ".extxyz", ".data", ".lmp", ".lammps")


def _start(args: argparse.Namespace) -> Any:
    from ..simulation import Simulation

    try:
        if os.path.splitext(args.input)[1].lower() in START_EXTENSIONS:
            if args.params is None:
                raise CommandError(f"{args.input} is a start file: give the settings with --params PARAMS")
            return Simulation.from_file(args.input, args.params, args.frame, threads=args.threads)
        if args.params is not None:
            raise CommandError("--params goes with a start file; a parameter file holds its own settings")
        return Simulation(args.input, threads=args.threads, **_system(args))
    except CommandError:
        raise
    except Exception as e:
        raise CommandError(f"{args.input}: {e}") from None


def _system(args: argparse.Namespace) -> Dict[str, Any]:
    """The mixture and start of --system for the parameter file's settings."""
    if args.system is None:
        return {}
    from .. import params as P
    from .._core import read_parameter_file
    from ..io.system import read_system

    try:
        entries = read_parameter_file(args.input)
        n = int(P.setting_value(entries, "nr_particles")) if "nr_particles" in entries else None
        return read_system(args.system).arguments(n)
    except (ValueError, RuntimeError, TypeError) as e:
        raise CommandError(f"{args.system}: {e}") from None


def cmd_minimize(args: argparse.Namespace) -> int:
    if args.output:
        check_files([("the input", args.input), ("--params", args.params)], [("--output", args.output)])
    sim = _start(args)
    before = sim.epot / sim.nr_particles
    try:
        result = sim.minimize(fmax=args.fmax, max_steps=args.max_steps)
    except (ValueError, ArithmeticError) as e:
        raise CommandError(f"{args.input}: {e}") from None
    if args.output:
        from ..io.gsd import GSDWriter

        with GSDWriter(args.output, sim.box, sim.nr_particles, type_name=sim.species) as w:
            w.write(sim.step, sim.positions, sim.velocities, sim.images, box=sim.box, typeid=sim.types)
    say_rows([("N", str(sim.nr_particles)),
              ("energy per particle", f"{before:.10g} -> {result.energy_per_particle:.12g}"),
              ("largest force", f"{result.fmax:.3g} (target {args.fmax:g})"),
              ("FIRE iterations", str(result.steps)),
              ("converged", "yes" if result.converged else f"no ({result.reason})"
               + ("; give more --max-steps" if result.reason == "max_steps" else ""))]
             + ([("minimum written to", args.output)] if args.output else []))
    return EXIT_OK if result.converged else EXIT_FAILED


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "minimize",
        formatter_class=Formatter,
        help="the nearest energy minimum (FIRE) of a start, written to GSD",
        description=(
            "Minimises the potential energy of a start by FIRE 2.0 until no particle feels\n"
            "a force above --fmax (the box fixed), prints the energy per particle and the\n"
            "iterations, and writes the minimum as one GSD frame. Exit status 1 when the\n"
            "minimisation does not converge within --max-steps."
        ),
        epilog=(
            "Examples:\n"
            "  vorlan minimize examples/lj_liquid.par -o min.gsd\n"
            "  vorlan minimize examples/ka.par --system examples/ka.toml -o ka_min.gsd\n"
            "  vorlan minimize run.gsd --params examples/ka.par --fmax 1e-8 -o inherent.gsd"
        ),
    )
    p.add_argument("input", metavar="PARAMS|FILE", help="a parameter file, or a start file (.gsd, .xyz, .data)")
    p.add_argument("--params", metavar="PARAMS", help="the settings of a start file")
    p.add_argument("--system", metavar="FILE.toml",
                   help="species, pairs and start of a mixture for a parameter file (as vorlan run)")
    p.add_argument("--frame", type=int, default=-1, metavar="K", help="frame of the start file (default the last)")
    p.add_argument("--fmax", type=float, default=1e-8, metavar="F", help="largest force left (default 1e-8)")
    p.add_argument("--max-steps", type=count, default=10_000, metavar="N", help="FIRE iterations at most")
    p.add_argument("--threads", type=team_size, metavar="T", help="threads of the parallel loops")
    p.add_argument("-o", "--output", metavar="FILE.gsd", help="write the minimum to a GSD file")
    p.set_defaults(func=cmd_minimize)
