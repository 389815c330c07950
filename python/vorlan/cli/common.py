"""What the subcommands share: their errors, exit statuses and argument types."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Dict, Optional, Sequence, Tuple

__all__ = ["CommandError", "UsageError", "check_files", "say", "positive_int", "seed_value", "team_size", "count",
           "Formatter", "add_ensemble_arguments", "ensemble"]

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """A command that failed for a reason the message states (exit status 1)."""


class UsageError(CommandError):
    """Options that do not go together (exit status 2, as any bad command line)."""


def _identity(path: str) -> Tuple[Any, ...]:
    """What makes two paths one file: device and inode of an existing file (any
    path to it, through symbolic or hard links), else the resolved path."""
    try:
        st = os.stat(path)
    except OSError:
        return ("path", os.path.realpath(path))
    return ("file", st.st_dev, st.st_ino)


Files = Sequence[Tuple[str, Optional[str]]]


def check_files(inputs: Files, outputs: Files) -> None:
    """Refuses, before any work is done, an output that is one of the inputs or
    another output (the same file by any path or link), and an output that
    cannot be written (io.atomic.write_problem). `inputs` and `outputs` are
    pairs of what each is and its path (None: not given), e.g. ("--log", "run.csv")."""
    from ..io.atomic import write_problem

    seen: Dict[Tuple[Any, ...], str] = {}
    for what, path in inputs:
        if path is not None:
            seen.setdefault(_identity(path), f"{what} {path}")
    for what, path in outputs:
        if path is None:
            continue
        same = seen.get(_identity(path))
        if same is not None:
            raise CommandError(f"{what} {path} is {same}: an output must be a file of its own")
        problem = write_problem(path)
        if problem is not None:
            raise CommandError(f"cannot write {what} {path}: {problem}")
        seen[_identity(path)] = f"{what} {path}"


def say(*args: Any, file: Optional[Any] = None) -> None:
    print(*args, file=file or sys.stdout)


def say_rows(rows: Sequence[Tuple[str, str]]) -> None:
    """(label, text) rows, indented, the texts in one column."""
    width = max(len(label) for label, _ in rows)
    for label, text in rows:
        say(f"  {label:<{width}}  {text}")


def _integer(text: str, low: int, high: Optional[int], allowed: str) -> int:
    """An argparse type: an integer in [low, high] (no upper end when high is None)."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if value < low or (high is not None and value > high):
        raise argparse.ArgumentTypeError(f"{value} is not allowed: {allowed}")
    return value


def positive_int(text: str) -> int:
    return _integer(text, 1, None, "give a positive integer")


def seed_value(text: str) -> int:
    from ..params import SEED_MAX, SEED_MIN

    return _integer(text, SEED_MIN, SEED_MAX, f"seeds are {SEED_MIN} to {SEED_MAX}")


def team_size(text: str) -> int:
    """--threads: a team size by the rule of Simulation(threads=...)."""
    from ..params import check_threads

    value = _integer(text, 1, None, "give a positive integer")
    try:
        return check_threads(value)
    except (ValueError, RuntimeError) as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def count(text: str) -> int:
    return _integer(text, 0, None, "give 0 or more")


class Formatter(argparse.RawDescriptionHelpFormatter):
    def __init__(self, prog):
        super().__init__(prog, max_help_position=30)


# ---- the ensemble options of run and sweep

METHOD_NAMES = ("berendsen", "nve", "langevin", "bussi", "nose-hoover")


def add_ensemble_arguments(p: argparse.ArgumentParser) -> None:
    """--method with its --tau/--friction/--chain, and the barostat's --pressure,
    --tau-p, --compressibility (vorlan.methods)."""
    g = p.add_argument_group("ensemble (vorlan.methods; the stochastic ones need --seed)")
    g.add_argument("--method", choices=METHOD_NAMES, default=None,
                   help="integration method (default: berendsen with the file's tau)")
    g.add_argument("--tau", type=float, metavar="T", help="relaxation time of berendsen and bussi, period of nose-hoover")
    g.add_argument("--friction", type=float, metavar="G", help="langevin friction, 1/time")
    g.add_argument("--chain", type=int, metavar="M", help="nose-hoover chain length (default 3)")
    g.add_argument("--pressure", type=float, metavar="P", help="constant pressure P with the C-rescale barostat")
    g.add_argument("--tau-p", type=float, metavar="T", help="barostat relaxation time (default 2.0)")
    g.add_argument("--compressibility", type=float, metavar="B",
                   help="barostat compressibility (default: V / (N kT), an ideal gas's)")


def ensemble(args: argparse.Namespace) -> Tuple[Any, Any]:
    """(method, barostat) of the ensemble options; UsageError for an option
    that does not belong to the method or a missing one (--seed with a
    stochastic method), ValueError for a bad value."""
    from .. import methods

    name = args.method or "berendsen"
    extra = {"--friction": args.friction is not None and name != "langevin",
             "--chain": args.chain is not None and name != "nose-hoover",
             "--tau": args.tau is not None and name not in ("berendsen", "bussi", "nose-hoover"),
             "--tau-p": args.tau_p is not None and args.pressure is None,
             "--compressibility": args.compressibility is not None and args.pressure is None}
    for option, wrong in extra.items():
        if wrong:
            raise UsageError(f"{option} does not apply to --method {name}"
                             + (" without --pressure" if option in ("--tau-p", "--compressibility") else ""))
    needed = {"langevin": ("--friction", args.friction), "bussi": ("--tau", args.tau),
              "nose-hoover": ("--tau", args.tau)}
    if name in needed and needed[name][1] is None:
        raise UsageError(f"--method {name} needs {needed[name][0]}")
    method = {
        "berendsen": lambda: methods.Berendsen(args.tau),
        "nve": methods.NVE,
        "langevin": lambda: methods.Langevin(args.friction),
        "bussi": lambda: methods.Bussi(args.tau),
        "nose-hoover": lambda: methods.NoseHoover(args.tau, 3 if args.chain is None else args.chain),
    }[name]()
    barostat = None
    if args.pressure is not None:
        barostat = methods.CRescale(args.pressure, 2.0 if args.tau_p is None else args.tau_p, args.compressibility)
    stochastic = [who for who in (method, barostat) if who is not None and who.stochastic]
    if stochastic and getattr(args, "seed", None) is None:
        raise UsageError(f"{stochastic[0]!r} draws random numbers keyed by the seed: give --seed S")
    methods.check(method, barostat, 1)
    return method, barostat
