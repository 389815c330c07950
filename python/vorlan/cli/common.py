"""What the subcommands share: their errors, exit statuses and argument types."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

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


# Processes of one run under mpiexec that print nothing: all but process 0
# (speak_as).
_SILENT = False


def speak_as(rank: int) -> None:
    """Only process 0 of a run shared among processes prints."""
    global _SILENT
    _SILENT = rank != 0


def say(*args: Any, file: Optional[Any] = None) -> None:
    if not _SILENT:
        print(*args, file=file or sys.stdout)


# What launchers of MPI programs tell each process about their number: MPICH's
# and Intel MPI's process managers and Slurm's PMI (PMI_SIZE), Open MPI's.
_WORLD_SIZE_VARIABLES = ("PMI_SIZE", "OMPI_COMM_WORLD_SIZE")


def world_communicator() -> Any:
    """MPI.COMM_WORLD when this process is one of several that an MPI launcher
    (mpiexec, srun) started, else None; MPI is not started for a process on its
    own. CommandError when several were started but mpi4py is missing: each
    would run the whole simulation and write the same files."""
    import os

    sizes = [os.environ.get(name, "") for name in _WORLD_SIZE_VARIABLES]
    if not any(size.isdigit() and int(size) > 1 for size in sizes):
        return None
    try:
        from mpi4py import MPI
    except ImportError:
        raise CommandError("started as one of several MPI processes, but mpi4py cannot be imported: install it "
                           "(pip install 'vorlan[mpi]') or run one process") from None
    return MPI.COMM_WORLD if MPI.COMM_WORLD.Get_size() > 1 else None


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

# The barostat's defaults on the command line (the engine has none for them).
BAROSTAT_DEFAULTS = {"tau": 2.0}


def _option(name: str) -> str:
    return "--" + name.replace("_", "-")


def _barostat_options() -> Dict[str, str]:
    """Each barostat parameter's option: its name, with -p where a method's
    parameter has it already (--tau-p); --pressure turns the barostat on."""
    from .. import methods

    taken = {p["name"] for k in methods.kinds() for p in k["parameters"]}
    return {p["name"]: _option(p["name"] + ("_p" if p["name"] in taken else ""))
            for p in methods.CRescale._kind()["parameters"]}


def _add_parameter(g: Any, option: str, p: Dict[str, Any], help: str) -> None:
    if p["choices"]:
        g.add_argument(option, choices=p["choices"], default=None, help=help)
    else:
        counts = str(p["rule"]).startswith("an integer")
        g.add_argument(option, type=int if counts else float, metavar=p["name"][0].upper(), help=help)


def add_ensemble_arguments(p: argparse.ArgumentParser) -> None:
    """--method with its parameters' options, and the barostat's (vorlan.methods,
    from the engine's registry)."""
    from .. import methods

    kinds = methods.kinds()
    g = p.add_argument_group("ensemble (vorlan.methods; the stochastic ones need --seed)")
    g.add_argument("--method", choices=[_option(k["name"])[2:] for k in kinds], default=None,
                   help=f"integration method (default: {_option(kinds[0]['name'])[2:]})")
    uses: Dict[str, List[str]] = {}
    first: Dict[str, Dict[str, Any]] = {}
    for k in kinds:
        for q in k["parameters"]:
            shown = "" if q["default"] is None else f", default {q['default']:g}"
            uses.setdefault(q["name"], []).append(f"{q['meaning']} ({_option(k['name'])[2:]}{shown})")
            first.setdefault(q["name"], q)
    for name, q in first.items():
        _add_parameter(g, _option(name), q, "; ".join(uses[name]))
    for q in methods.CRescale._kind()["parameters"]:
        option = _barostat_options()[q["name"]]
        default = BAROSTAT_DEFAULTS.get(q["name"], q["choices"][int(q["default"])] if q["choices"] else None)
        help = ("constant pressure P with the C-rescale barostat" if q["name"] == "pressure"
                else f"barostat: {q['meaning']}" + ("" if default is None else f" (default {default})"))
        _add_parameter(g, option, q, help)


def ensemble(args: argparse.Namespace) -> Tuple[Any, Any]:
    """(method, barostat) of the ensemble options; UsageError for an option
    that does not belong to the method or a missing one (--seed with a
    stochastic method), ValueError for a bad value."""
    from .. import methods

    kinds = {_option(k["name"])[2:]: k for k in methods.kinds()}
    name = args.method or next(iter(kinds))
    own = {q["name"] for q in kinds[name]["parameters"]}
    given = {q["name"]: getattr(args, q["name"]) for k in kinds.values() for q in k["parameters"]
             if getattr(args, q["name"], None) is not None}
    for key in given:
        if key not in own:
            raise UsageError(f"{_option(key)} does not apply to --method {name}")
    for q in kinds[name]["parameters"]:
        if q["required"] and q["name"] not in given:
            raise UsageError(f"--method {name} needs {_option(q['name'])}")
    options = _barostat_options()
    chosen = {key: getattr(args, option[2:].replace("-", "_")) for key, option in options.items()}
    for key, value in chosen.items():
        if key != "pressure" and value is not None and chosen["pressure"] is None:
            raise UsageError(f"{options[key]} does not apply to --method {name} without --pressure")
    method = methods.method_class(kinds[name]["name"])(**given)
    barostat = None
    if chosen["pressure"] is not None:
        given_p: Dict[str, Any] = {k: v if v is not None else BAROSTAT_DEFAULTS.get(k) for k, v in chosen.items()}
        barostat = methods.CRescale(**{k: v for k, v in given_p.items() if v is not None})
    stochastic = [who for who in (method, barostat) if who is not None and who.stochastic]
    if stochastic and getattr(args, "seed", None) is None:
        raise UsageError(f"{stochastic[0]!r} draws random numbers keyed by the seed: give --seed S")
    methods.check(method, barostat, 1)
    return method, barostat
