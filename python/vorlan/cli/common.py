"""What the subcommands share: their errors, exit statuses and argument types."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Optional

__all__ = ["CommandError", "UsageError", "say", "positive_int", "seed_value", "count", "Formatter"]

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """A command that failed for a reason the message states (exit status 1)."""


class UsageError(CommandError):
    """Options that do not go together (exit status 2, as any bad command line)."""


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


def count(text: str) -> int:
    return _integer(text, 0, None, "give 0 or more")


class Formatter(argparse.RawDescriptionHelpFormatter):
    def __init__(self, prog):
        super().__init__(prog, max_help_position=30)
