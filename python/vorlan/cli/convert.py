"""``vorlan convert IN OUT``: trajectories between .movie, .gsd and .xyz (also
``python -m vorlan.movie``)."""

from __future__ import annotations

import argparse
from typing import Any

from ..io.trajectory import convert
from .common import EXIT_OK, CommandError, Formatter, check_files, say


def cmd_convert(args: argparse.Namespace) -> int:
    check_files([("the input file", args.input)], [("the output", args.output)])
    try:
        frames = convert(args.input, args.output, species=args.species, nr_particles=args.nr_particles,
                         in_format=args.from_format, out_format=args.to_format)
    except (OSError, ValueError, TypeError) as e:
        raise CommandError(str(e)) from None
    if args.verbose:
        say(f"{args.output}: {frames} frame(s)")
    return EXIT_OK


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "convert",
        formatter_class=Formatter,
        help="convert a trajectory between .movie, .gsd and .xyz",
        description="Converts a trajectory; the formats follow from the extensions (.movie, .gsd, .xyz, .extxyz).",
        epilog="Example:\n  vorlan convert lj.movie lj.gsd",
    )
    p.add_argument("input", metavar="IN")
    p.add_argument("output", metavar="OUT")
    p.add_argument("--species", default="Ar", help="chemical symbol of the particles in XYZ, type name in GSD (default Ar)")
    p.add_argument("--nr-particles", type=int, default=None, help="particle count of a movie file without header")
    p.add_argument("--from", dest="from_format", choices=("movie", "gsd", "xyz"), help="format of IN, whatever its extension")
    p.add_argument("--to", dest="to_format", choices=("movie", "gsd", "xyz"), help="format of OUT, whatever its extension")
    p.add_argument("-v", "--verbose", action="store_true", help="print the number of frames written")
    p.set_defaults(func=cmd_convert)
