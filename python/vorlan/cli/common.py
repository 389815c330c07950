"""What the subcommands share: their errors, exit statuses and argument types."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Dict, Optional, Sequence, Tuple

__all__ = ["CommandError", "UsageError", "check_files", "say", "positive_int", "seed_value", "team_size", "count", "Formatter"]

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
    from ..simulation import SEED_MAX, SEED_MIN

    return _integer(text, SEED_MIN, SEED_MAX, f"seeds are {SEED_MIN} to {SEED_MAX}")


def team_size(text: str) -> int:
    """--threads: a team size by the rule of Simulation(threads=...)."""
    from ..simulation import check_threads

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
