"""``vorlan check PARAMS``: what the engine reads from a parameter file, what it
skips and why, the values its rules refuse, and derived quantities."""

from __future__ import annotations

import argparse
from typing import Any, List, Tuple

from .. import params as P
from ..io.parameter_file import FileReport, diagnose
from .common import EXIT_FAILED, EXIT_OK, CommandError, Formatter, say, say_rows


# The endings of a system description (species, pairs, fields, start).
SYSTEM_ENDINGS = (".toml", ".json")


def cmd_check(args: argparse.Namespace) -> int:
    if args.params.lower().endswith(SYSTEM_ENDINGS):
        return EXIT_OK if _check_system(args.params) else EXIT_FAILED
    try:
        report = diagnose(args.params)
    except OSError as e:
        raise CommandError(f"cannot read the parameter file {args.params}: {e.strerror or e}") from None
    except ValueError as e:  # longer than any parameter file
        raise CommandError(str(e)) from None
    missing = set(report.missing)
    problems = [(k, m) for k, m in P.check(report.params) if k not in missing]

    say(f"{report.path}: {len(report.entries)} line(s) read, {len(report.params)} key(s) set")
    warnings = _skipped_lines(report) + _duplicate_keys(report) + _unknown_keys(report)
    _missing_keys(report)
    _values_not_allowed(problems)
    _derived(report)

    system_ok = args.system is None or _check_system(args.system)
    if missing or problems:
        say(f"\nThe file is not accepted: {len(missing)} key(s) missing, {len(problems)} value(s) not allowed.")
        return EXIT_FAILED
    if not system_ok:
        return EXIT_FAILED
    verdict = "The file would run" + (f" ({warnings} warning(s) above)." if warnings else ".")
    say("\n" + verdict)
    return EXIT_FAILED if args.strict and warnings else EXIT_OK


def _check_system(path: str) -> bool:
    """Reports the force terms of a system description, its pair potential
    (family, mode and parameters of each pair) and its fields, checked by the
    rules a run applies; False, with the run's message, when it would refuse them."""
    from ..io.system import read_system
    from ..pair import PairPotential, engine_pair, pair_matrix

    try:
        system = read_system(path)
        say(f"\n{path}: species {', '.join(system.species)}")
        pairs = system.pairs or {}
        if not pairs:
            say("  pairs: Lennard-Jones of the parameter set (cross pairs by Lorentz-Berthelot)")
        elif all(isinstance(v, PairPotential) for v in pairs.values()):
            matrix = pair_matrix(system.species, pairs)
            _core_check(engine_pair(matrix, len(system.species)))
            first = matrix[0]
            tail = ", tail correction" if first.tail_correction else ""
            say(f"  pair potential: {first.family}, mode {first.mode}{tail}")
            for (a, b), p in pairs.items():
                values = ", ".join(f"{k} = {v:g}" for k, v in p.parameters.items())
                say(f"    ({a}, {b}): {values}" if values else f"    ({a}, {b}): {p!r}")
        else:
            say("  pair potential: lj, mode shift (cross pairs not given by Lorentz-Berthelot)")
            for (a, b), v in pairs.items():
                say(f"    ({a}, {b}): " + ", ".join(f"{k} = {float(x):g}" for k, x in v.items()))
        for field in system.fields:
            say(f"  field: {field!r}")
    except (ValueError, TypeError, OSError) as e:
        message = " ".join(str(e).split())
        say(f"\nThe system description is not accepted: "
            + (message if message.startswith(path) else f"{path}: {message}"))
        return False
    return True


def _core_check(pair: Any) -> None:
    from .. import _core

    _core.check_pair(pair)


def _skipped_lines(report: FileReport) -> int:
    """The lines the engine skips, each with its reasons and a line to write instead; their count."""
    if report.skipped:
        say(f"\nLines the engine skips ({len(report.skipped)}):")
    for s in report.skipped:
        say(f"  line {s.number}: {s.text}")
        for reason in s.reasons:
            say(f"      skipped: {reason}")
        if s.suggestion:
            say(f"      write:   {s.suggestion}")
    return len(report.skipped)


def _duplicate_keys(report: FileReport) -> int:
    """The keys set more than once, the line used and those ignored; their count."""
    if report.duplicates:
        say("\nKeys set more than once (the first occurrence wins):")
    for key, entries in report.duplicates.items():
        first, rest = entries[0], entries[1:]
        ignored = ", ".join(f"line {e.number} ({key} = {e.value})" for e in rest)
        say(f"  {key}: line {first.number} ({key} = {first.value}) is used; ignored: {ignored}")
    return len(report.duplicates)


def _unknown_keys(report: FileReport) -> int:
    """The keys the engine never reads, with the key likely meant; their count."""
    if report.unknown:
        say("\nKeys the engine never reads:")
    for entry, hint in report.unknown:
        say(f"  line {entry.number}: {entry.key}" + (f" -- did you mean {hint}?" if hint else ""))
    return len(report.unknown)


def _missing_keys(report: FileReport) -> None:
    """The keys a run needs and the file does not set, with the lines that mean them."""
    if report.missing:
        say("\nMissing keys (a run stops with 'Could not find parameter'):")
    for key in report.missing:
        near = [s.number for s in report.skipped if s.key == key]
        near += [e.number for e, hint in report.unknown if hint == key]
        near = sorted(set(near))
        where = ""
        if near:
            where = f" -- line {near[0]} means it" if len(near) == 1 else f" -- lines {', '.join(map(str, near))} mean it"
            where += " but the engine does not read " + ("it" if len(near) == 1 else "them")
        say(f"  {key} ({P.KEYS[key].meaning}){where}")


def _values_not_allowed(problems: List[Tuple[str, str]]) -> None:
    if problems:
        say("\nValues not allowed:")
    for key, message in problems:
        say(f"  {message}" if key in message else f"  {key}: {message}")


def _derived(report: FileReport) -> None:
    derived = P.derived_quantities(report.params)
    if derived:
        say("\nDerived quantities:")
        say_rows(derived)


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "check",
        formatter_class=Formatter,
        help="show what the engine reads from a parameter file, and what it skips",
        description=(
            "Reads a parameter file line by line exactly as the engine does and reports:\n"
            "lines it skips without a word (a comment after a value, an exponent such as\n"
            "1e-3, a sign, characters other than letters, digits and _ in a key, a\n"
            "byte-order mark), keys set twice (the first line wins), keys it never reads,\n"
            "missing keys, values out of range, and derived quantities. A system description\n"
            "(.toml, .json; or --system) is reported by its force terms: the pair potential's\n"
            "family, mode and parameters of each pair, and the fields, refused with the\n"
            "message a run would give. Changes nothing."
        ),
        epilog="Exit status 0 when the file would run, 1 when it would not.",
    )
    p.add_argument("params", metavar="PARAMS",
                   help="the parameter file, or a system description (.toml, .json): its pair potential and fields")
    p.add_argument("--system", metavar="FILE.toml", default=None,
                   help="also check a system description (species, pair potential, fields) as a run would")
    p.add_argument("--strict", action="store_true", help="exit 1 on warnings too (skipped lines, duplicate or unknown keys)")
    p.set_defaults(func=cmd_check)
