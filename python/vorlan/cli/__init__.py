"""The ``vorlan`` command (also ``python -m vorlan``).

    vorlan check PARAMS        what the engine will read from a parameter file
    vorlan run PARAMS          run it, with a progress bar, a summary, a log, a plot
    vorlan plot LOG [GSD]      figures of a run (or of a sweep's results directory)
    vorlan convert IN OUT      trajectories between .movie, .gsd and .xyz
    vorlan sweep BASE          a grid of settings with replicas, in parallel
    vorlan minimize PARAMS|FILE   the nearest energy minimum (FIRE), written to GSD
    vorlan analyze RUN.gsd     diffusion (MSD, VACF), S(k), density profiles

One module per subcommand; each has ``add_parser(subparsers)``, which adds its
parser and sets ``func`` (a callable that takes the parsed arguments and returns
the exit status), and ``build_parser`` puts them together.

Exit status: 0 success, 1 the command failed (the message says why), 2 a bad
command line, 130 interrupted with Ctrl-C (what a run wrote so far is kept).
"""

from __future__ import annotations

import argparse
import sys
import warnings
from typing import Any, Callable, Optional, Sequence

from . import analyze, check, convert, minimize, plot, run, sweep
from .._optional import MissingDependency
from .common import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_USAGE, CommandError, Formatter, UsageError, say

__all__ = ["main", "build_parser", "CommandError", "UsageError"]

SUBCOMMANDS = (check, run, plot, convert, sweep, minimize, analyze)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vorlan",
        formatter_class=Formatter,
        description="Molecular dynamics of a Lennard-Jones fluid from a key = value parameter file.",
        epilog=(
            "Start here:\n"
            "  vorlan check examples/lj_liquid.par        is every line read as you meant it?\n"
            "  vorlan run examples/lj_liquid.par --plot run.png\n"
            "\n"
            "'vorlan COMMAND --help' tells more about each command. Exit status: 0 success,\n"
            "1 failure (the message says why), 2 bad command line, 130 interrupted (Ctrl-C)."
        ),
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands")

    for command in SUBCOMMANDS:
        command.add_parser(sub)
    return parser


def _warning_line(command: str) -> Callable[..., None]:
    """Shows a warning as one line of the command's own, without a source line."""

    def show(message: Any, category: Any, filename: str, lineno: int, file: Any = None, line: Any = None) -> None:
        say(f"vorlan {command}: warning: {message}", file=sys.stderr)

    return show


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]) and returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help (0) or a bad command line (2)
        return e.code if isinstance(e.code, int) else EXIT_USAGE
    if getattr(args, "func", None) is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _warning_line(args.command)
            return int(args.func(args) or 0)
    except (CommandError, MissingDependency) as e:
        say(f"vorlan {args.command}: error: {e}", file=sys.stderr)
        return EXIT_USAGE if isinstance(e, UsageError) else EXIT_FAILED
    except MemoryError as e:  # an input that asks for more than there is (a file declaring 10^9 particles)
        say(f"vorlan {args.command}: error: not enough memory" + (f": {e}" if str(e) else ""), file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        say(f"\nvorlan {args.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
