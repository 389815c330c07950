"""Parameter files: the keys the engine reads, a reader with the engine's rules,
and a writer whose files the engine reads back exactly.

The engine keeps a line only if the whole line matches::

    ^\\s*([a-zA-Z0-9_]+)\\s*=\\s*([0-9.]+)\\s*$      (\\s: space, tab, VT, FF, CR, LF)

and the first occurrence of a key wins; every other line is skipped without a
word. So a value is written without sign and without exponent, and a real number
in positional notation with as many digits as it takes to read back the same
double.
"""

from __future__ import annotations

import decimal
import difflib
import numbers
import os
import re
from typing import Dict, List, NamedTuple, Optional, Tuple, Union

import numpy as np

from ._atomic import replace_atomically

__all__ = ["KEYS", "Key", "read_params", "write_params", "format_value", "suggest_key"]

PathLike = Union[str, "os.PathLike[str]"]


class Key(NamedTuple):
    name: str
    kind: str  # "int" (digit string, at most `limit`) or "real"
    meaning: str
    limit: int = 0


# The keys the engine reads, in the order of the README's table. nr_particles is
# read as int inside the cell (so at most 2**31 - 1); nrsteps as unsigned int.
KEYS: Dict[str, Key] = {
    k.name: k
    for k in (
        Key("nr_particles", "int", "number of particles N", 2**31 - 1),
        Key("cell_length", "real", "edge of the cubic periodic box"),
        Key("kT", "real", "target temperature as an energy: initial velocities and thermostat"),
        Key("mass", "real", "particle mass"),
        Key("sigma", "real", "Lennard-Jones length"),
        Key("epsilon", "real", "Lennard-Jones energy"),
        Key("rcut", "real", "cut-off radius, where the pair energy is shifted to zero"),
        Key("shell", "real", "skin added to rcut for the neighbour list"),
        Key("tau", "real", "relaxation time of the Berendsen thermostat"),
        Key("stepsize", "real", "time step dt"),
        Key("nrsteps", "int", "number of time steps", 2**32 - 1),
    )
}

# The engine's whitespace class (the C locale's isspace): no Unicode spaces.
WS = rb"[ \t\v\f\r\n]"
LINE = re.compile(WS + rb"*([a-zA-Z0-9_]+)" + WS + rb"*=" + WS + rb"*([0-9.]+)" + WS + rb"*")
KEY_NAME = re.compile(r"[a-zA-Z0-9_]+")
INT_TEXT = re.compile(r"[0-9]+")
REAL_TEXT = re.compile(r"[0-9]*\.?[0-9]*")


def split_lines(data: bytes) -> List[bytes]:
    """The lines as the engine's line reader sees them: split at line feeds, a
    carriage return stays part of its line, a final line feed starts no line."""
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    return lines


def match_line(line: bytes) -> Optional[Tuple[str, str]]:
    """(key, value text) if the engine keeps `line`, else None."""
    m = LINE.fullmatch(line)
    return (m.group(1).decode("ascii"), m.group(2).decode("ascii")) if m else None


def read_params(path: PathLike) -> Dict[str, str]:
    """Reads `path` as the engine does: key -> value text of every kept line,
    the first occurrence of a key winning. Raises OSError when the file cannot
    be read (the engine would go on with no keys and fail at the first lookup)."""
    with open(os.fspath(path), "rb") as f:
        data = f.read()
    params: Dict[str, str] = {}
    for line in split_lines(data):
        kv = match_line(line)
        if kv is not None:
            params.setdefault(*kv)
    return params


def value_problem(key: str, text: str) -> Optional[str]:
    """Why the engine cannot convert the value text `text` of the known key
    `key` to its type, or None when it can."""
    spec = KEYS[key]
    if spec.kind == "int":
        if not INT_TEXT.fullmatch(text):
            return f"{key} = {text} is not an integer: write digits only, without a full stop"
        if int(text) > spec.limit:
            return f"{key} = {text} is too large: at most {spec.limit}"
        return None
    if not REAL_TEXT.fullmatch(text) or text == ".":
        return f"{key} = {text} is not a number: digits with at most one full stop"
    return None


def suggest_key(name: str) -> Optional[str]:
    """The known key that `name` most likely meant, or None."""
    for known in KEYS:
        if known.lower() == name.lower():
            return known
    close = difflib.get_close_matches(name, list(KEYS), n=1, cutoff=0.6)
    return close[0] if close else None


def format_value(key: str, value) -> str:
    """The value text of `value` for the key `key` in the syntax the engine
    reads: digits and at most one full stop; a real number in the shortest
    positional form that reads back as the same double.

    Raises ValueError (naming the key) for a negative, non-finite or (for an
    integer key) fractional value, one out of range or a string the engine
    would not convert, TypeError for a value that is no number.
    """
    spec = KEYS[key]
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{key}: a bool is not a parameter value ({spec.meaning})")
    if isinstance(value, str):
        text = value.strip()
        problem = value_problem(key, text)
        if problem:
            raise ValueError(problem)
        return text
    if isinstance(value, decimal.Decimal):
        if not value.is_finite():
            raise ValueError(f"{key} = {value} is not allowed: the value must be finite")
        if value < 0:
            raise ValueError(f"{key} = {value} is not allowed: the file format has no sign, values must be >= 0")
        if spec.kind == "int":
            if value != value.to_integral_value():
                raise ValueError(f"{key} = {value} is not allowed: {key} is an integer")
            value = int(value)
        else:
            text = "{:f}".format(abs(value))
            return text.rstrip("0").rstrip(".") if "." in text else text
    if isinstance(value, numbers.Integral):
        value = int(value)
        if value < 0:
            raise ValueError(f"{key} = {value} is not allowed: the file format has no sign, values must be >= 0")
        if spec.kind == "int" and value > spec.limit:
            raise ValueError(f"{key} = {value} is not allowed: at most {spec.limit}")
        return str(value)
    if isinstance(value, numbers.Real):
        x = float(value)
        if not np.isfinite(x):
            raise ValueError(f"{key} = {x} is not allowed: the value must be finite")
        if x < 0:
            raise ValueError(f"{key} = {x!r} is not allowed: the file format has no sign, values must be >= 0")
        if spec.kind == "int":
            if x != int(x):
                raise ValueError(f"{key} = {x!r} is not allowed: {key} is an integer")
            return format_value(key, int(x))
        return np.format_float_positional(abs(x), unique=True, trim="-")
    raise TypeError(f"{key}: expected a number, got {type(value).__name__}")


def write_params(path: PathLike, **settings) -> str:
    """Writes a parameter file with one `key = value` line per setting, in the
    order given, in the syntax the engine reads (no sign, no exponent; reals in
    the shortest positional form that reads back as the same double, integers
    as digits). The file appears whole or not at all: it is written to a
    temporary file in the same folder and renamed over `path`.

    Every key must be one the engine reads (ValueError with a suggestion
    otherwise); values as in `format_value`. Returns the path as a str.
    """
    lines = []
    for key, value in settings.items():
        if key not in KEYS:
            hint = suggest_key(key)
            raise ValueError(
                f"unknown parameter key {key!r}"
                + (f"; did you mean {hint!r}?" if hint else f"; the keys are {', '.join(KEYS)}")
            )
        lines.append(f"{key} = {format_value(key, value)}\n")

    name = os.fspath(path)
    with replace_atomically(name) as tmp, open(tmp, "w", encoding="ascii", newline="\n") as f:
        f.writelines(lines)
    return name


# ----------------------------------------------------------------------------
# Diagnosis of a parameter file: what the engine keeps, what it skips and why.

BOM = b"\xef\xbb\xbf"
WS_CHARS = b" \t\v\f\r\n"
COMMENT_STARTS = (b"#", b"//", b"!", b";", b"%")
NUMBER = re.compile(rb"([+-]?)([0-9.]*)(?:([eEdD])([+-]?[0-9]*))?")
LOOSE_PAIR = re.compile(rb"([a-zA-Z0-9_]+)[ \t]*[: \t][ \t]*([0-9.]+)")


class SkippedLine(NamedTuple):
    """A line the engine skips although it looks like a setting."""

    number: int                 # 1-based line number
    text: str                   # the line as it reads (undecodable bytes escaped)
    reasons: List[str]          # why the engine skips it, one sentence each
    key: Optional[str]          # the key the line seems to set, when there is one
    suggestion: Optional[str]   # a line with the same meaning that the engine keeps


class Entry(NamedTuple):
    number: int
    key: str
    value: str


class FileReport(NamedTuple):
    path: str
    entries: List[Entry]                    # every kept line, in file order
    params: Dict[str, str]                  # key -> value text, first occurrence winning
    skipped: List[SkippedLine]
    duplicates: Dict[str, List[Entry]]      # keys kept more than once: all their lines
    unknown: List[Tuple[Entry, Optional[str]]]  # kept keys the engine never reads, with a suggestion
    missing: List[str]                      # keys the engine reads that no kept line sets


def show(raw: bytes) -> str:
    return raw.decode("utf-8", errors="backslashreplace").rstrip("\r")


def bad_key_characters(key: bytes) -> str:
    text = key.decode("utf-8", errors="backslashreplace")
    bad = []
    for c in text:
        if not KEY_NAME.fullmatch(c) or not c.isascii():
            name = {" ": "space", "\t": "tab"}.get(c, repr(c))
            if name not in bad:
                bad.append(name)
    return ", ".join(bad)


def suggested_line(key: str, mantissa: bytes, exponent: bytes) -> Optional[str]:
    """`key = value` with the number written out in positional digits, when it
    has a form the engine converts."""
    try:
        value = decimal.Decimal((mantissa + exponent).decode("ascii").replace("d", "e").replace("D", "e"))
    except (decimal.InvalidOperation, ValueError):
        return None
    if key in KEYS:
        try:
            return f"{key} = {format_value(key, value)}"
        except (ValueError, TypeError):
            return None
    text = "{:f}".format(value)
    return f"{key} = {text.rstrip('0').rstrip('.') if '.' in text else text}"


def diagnose_line(number: int, raw: bytes) -> Optional[SkippedLine]:
    """Why the engine skips line `number` (text `raw`, line feed removed), or
    None when it keeps the line or the line is blank or a comment."""
    body = raw
    reasons: List[str] = []
    if number == 1 and body.startswith(BOM):
        body = body[len(BOM):]
        reasons.append(
            "the file starts with a byte-order mark (saved as 'UTF-8 with BOM'): "
            "the engine reads it as part of the first key; save the file as plain UTF-8 or ASCII"
        )
    elif match_line(body) is not None:
        return None
    stripped = body.strip(WS_CHARS)
    if not stripped or stripped.startswith(COMMENT_STARTS):
        return None
    text = ("<BOM>" + show(body)) if body is not raw else show(raw)

    if b"=" not in stripped:
        m = LOOSE_PAIR.fullmatch(stripped)
        if m:
            key = m.group(1).decode("ascii")
            return SkippedLine(number, text, reasons + ["no '=' between key and value"], key,
                               f"{key} = {m.group(2).decode('ascii')}")
        return SkippedLine(number, text, reasons + ["no '=': not a key = value line"], None, None)

    key_raw, _, value_raw = stripped.partition(b"=")
    key_raw = key_raw.strip(WS_CHARS)
    value_raw = value_raw.strip(WS_CHARS)
    key: Optional[str] = None
    if not key_raw:
        reasons.append("no key before '='")
    elif not KEY_NAME.fullmatch(key_raw.decode("utf-8", errors="replace")) or not key_raw.isascii():
        hint = suggest_key(key_raw.decode("utf-8", errors="replace"))
        reasons.append(
            f"the key {show(key_raw)!r} has characters other than ASCII letters, digits and "
            f"underscores ({bad_key_characters(key_raw)})" + (f"; did you mean {hint}?" if hint else "")
        )
        key = hint
    else:
        key = key_raw.decode("ascii")

    m = NUMBER.match(value_raw)
    sign, mantissa, echar, exponent = m.group(1), m.group(2), m.group(3), m.group(4)
    rest = value_raw[m.end():].lstrip(WS_CHARS)
    if not value_raw:
        reasons.append("no value after '='")
    elif not mantissa.strip(b"."):
        reasons.append(f"the value {show(value_raw)!r} is not a number of digits and full stops")
        rest = b""
    else:
        if sign == b"-":
            reasons.append(f"a negative value ({show(sign + mantissa)}): values are written without a sign")
        elif sign == b"+":
            reasons.append("a '+' sign before the value: write the value without it")
        if echar:
            reasons.append(
                f"an exponent in {show(mantissa + echar + exponent)!r}: write the number out in digits"
            )
    if rest.startswith(COMMENT_STARTS):
        reasons.append(
            "a comment after the value: the engine skips the whole line, not only the comment; "
            "put the comment on a line of its own"
        )
    elif rest.startswith(b"="):
        reasons.append("more than one '='")
    elif rest.startswith(b","):
        reasons.append("a comma in the value: the decimal separator is a full stop, one value per line")
    elif rest:
        reasons.append(f"text after the value: {show(rest)!r}")
    if not reasons:
        reasons.append("not of the form key = value")

    suggestion = None
    if key is not None and mantissa.strip(b".") and sign != b"-" and (
        not rest or rest.startswith(COMMENT_STARTS)
    ):
        suggestion = suggested_line(key, mantissa, echar + exponent if echar else b"")
    return SkippedLine(number, text, reasons, key, suggestion)


def diagnose(path: PathLike) -> FileReport:
    """Reads `path` line by line as the engine does and records every kept
    line, every skipped line that looks like a setting (with the reasons),
    duplicate, unknown and missing keys. Raises OSError when the file cannot be
    read."""
    name = os.fspath(path)
    with open(name, "rb") as f:
        data = f.read()
    entries: List[Entry] = []
    skipped: List[SkippedLine] = []
    for number, raw in enumerate(split_lines(data), start=1):
        kv = match_line(raw)
        if kv is not None:
            entries.append(Entry(number, *kv))
            continue
        why = diagnose_line(number, raw)
        if why is not None:
            skipped.append(why)

    params: Dict[str, str] = {}
    by_key: Dict[str, List[Entry]] = {}
    for e in entries:
        params.setdefault(e.key, e.value)
        by_key.setdefault(e.key, []).append(e)
    duplicates = {k: v for k, v in by_key.items() if len(v) > 1}
    unknown = [(v[0], suggest_key(k)) for k, v in by_key.items() if k not in KEYS]
    missing = [k for k in KEYS if k not in params]
    return FileReport(name, entries, params, skipped, duplicates, unknown, missing)


def check_values(params: Dict[str, str]) -> Tuple[List[Tuple[str, str]], bool]:
    """The problems (key, message) with the values of `params` (key -> value
    text as read), found without running anything.

    The rules are the engine's own (``vorlan._core.check_settings``: types,
    ranges and the rules between keys, the same code that refuses the values
    when a run starts). Returns (problems, True) with it; with a build that does
    not have it, only the conversions to each key's type are checked and the
    result is (problems, False).
    """
    try:
        from . import _core  # type: ignore[attr-defined]

        engine_check = _core.check_settings
    except (ImportError, AttributeError):
        engine_check = None
    if engine_check is not None:
        return [(str(k), str(m)) for k, m in engine_check(dict(params))], True
    problems = []
    for key, text in params.items():
        if key in KEYS:
            problem = value_problem(key, text)
            if problem:
                problems.append((key, problem))
    return problems, False


def derived_quantities(params: Dict[str, str]) -> List[Tuple[str, str]]:
    """(label, text) of the quantities that follow from the settings: density,
    cut-off against half the box, subcells of the neighbour-list grid, expected
    neighbours per particle, simulated time. Quantities whose settings are
    missing or do not convert are left out."""

    def get(key, kind=float):
        text = params.get(key)
        if text is None or value_problem(key, text):
            return None
        return kind(text)

    out: List[Tuple[str, str]] = []
    n, length = get("nr_particles", int), get("cell_length")
    rcut, shell = get("rcut"), get("shell")
    rho = None
    if n is not None and length:
        rho = n / length**3
        out.append(("density", f"N / L^3 = {n} / {length:g}^3 = {rho:.6g}"))
    if rcut is not None and length:
        half = length / 2
        verdict = "fits" if rcut <= half else "too long: a particle would meet two images of another"
        out.append(("cut-off", f"rcut = {rcut:g} against L / 2 = {half:.6g}: {verdict}"))
    if rcut is not None and shell is not None and length and rcut + shell > 0:
        reach = rcut + shell
        out.append(("subcells", f"floor(L / (rcut + shell)) = {int(np.floor(length / reach))} per axis"))
        if rho is not None:
            out.append(("neighbours", f"4/3 pi (rcut + shell)^3 rho = {4 / 3 * np.pi * reach**3 * rho:.4g} per particle"))
    steps, dt = get("nrsteps", int), get("stepsize")
    if steps is not None and dt is not None:
        out.append(("run length", f"nrsteps * stepsize = {steps} * {dt:g} = {steps * dt:.6g} time units"))
    return out
