"""Parameter files: the engine's reader, a writer whose files the engine reads
back exactly, and a diagnosis of every line the engine skips.

A line is kept only when it matches as a whole (``vorlan.params`` states the
pattern) and the first occurrence of a key wins; every other line is skipped
without a word. Which lines are kept is decided by the engine's own reader
(``vorlan._core``); the diagnosis explains the others.
"""

from __future__ import annotations

import decimal
import os
import re
from typing import Dict, List, NamedTuple, Optional, Tuple, Union

from .. import _core
from ..params import KEY_NAME, KEYS, format_value, suggest_key
from .atomic import replace_atomically
from .files import PARAMETER_FILE_BYTES, open_regular, read_regular

__all__ = ["read_params", "write_params", "diagnose", "FileReport", "SkippedLine", "Entry"]

PathLike = Union[str, "os.PathLike[str]"]

def split_lines(data: bytes) -> List[bytes]:
    """The lines as the engine's line reader sees them: split at line feeds, a
    carriage return stays part of its line, a final line feed starts no line."""
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    return lines


def match_line(line: bytes) -> Optional[Tuple[str, str]]:
    """(key, value text) if the engine keeps `line`, else None."""
    kv = _core.parse_parameter_line(line)
    return (str(kv[0]), str(kv[1])) if kv is not None else None


def read_params(path: PathLike) -> Dict[str, str]:
    """Reads `path` with the engine's reader: key -> value text of every kept
    line, the first occurrence of a key winning. Raises OSError when the file is
    not a readable regular file (the engine refuses it the same way)."""
    name = os.fsdecode(os.fspath(path))
    try:
        return dict(_core.read_parameter_file(name))
    except Exception as e:
        if str(e).startswith("Cannot open file: "):
            try:
                open_regular(name, "parameter file").close()  # raises with the reason
            except OSError as why:
                raise OSError(f"cannot read the parameter file {name}: {why.strerror or why}") from None
            raise OSError(f"cannot read the parameter file {name}") from None
        raise


def write_params(path: PathLike, **settings) -> str:
    """Writes a parameter file with one `key = value` line per setting, in the
    order given, in the syntax the engine reads (``vorlan.params.format_value``:
    no sign, no exponent, reals in the shortest positional form that reads back
    as the same double). The file appears whole or not at all: it is written to
    a temporary file in the same folder and renamed over `path`.

    Every key must be one the engine reads (ValueError with a suggestion
    otherwise). Returns the path as a str.
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
        return _without_equals(number, text, stripped, reasons)
    key_raw, _, value_raw = stripped.partition(b"=")
    key = _key_of(key_raw.strip(WS_CHARS), reasons)
    sign, mantissa, echar, exponent, rest = _number_of(value_raw.strip(WS_CHARS), reasons)
    after = _after_value(rest)
    if after:
        reasons.append(after)
    if not reasons:
        reasons.append("not of the form key = value")

    suggestion = None
    if key is not None and mantissa.strip(b".") and sign != b"-" and (
        not rest or rest.startswith(COMMENT_STARTS)
    ):
        suggestion = suggested_line(key, mantissa, echar + exponent if echar else b"")
    return SkippedLine(number, text, reasons, key, suggestion)


def _without_equals(number: int, text: str, stripped: bytes, reasons: List[str]) -> SkippedLine:
    """A line without '=': "key value" or "key: value" gets the line meant."""
    m = LOOSE_PAIR.fullmatch(stripped)
    if m:
        loose = m.group(1).decode("ascii")
        return SkippedLine(number, text, reasons + ["no '=' between key and value"], loose,
                           f"{loose} = {m.group(2).decode('ascii')}")
    return SkippedLine(number, text, reasons + ["no '=': not a key = value line"], None, None)


def _key_of(key_raw: bytes, reasons: List[str]) -> Optional[str]:
    """The key that the text before '=' sets or most likely means (None: none);
    why the engine does not take it as a key goes to `reasons`."""
    if not key_raw:
        reasons.append("no key before '='")
        return None
    if not KEY_NAME.fullmatch(key_raw.decode("utf-8", errors="replace")) or not key_raw.isascii():
        hint = suggest_key(key_raw.decode("utf-8", errors="replace"))
        reasons.append(
            f"the key {show(key_raw)!r} has characters other than ASCII letters, digits and "
            f"underscores ({bad_key_characters(key_raw)})" + (f"; did you mean {hint}?" if hint else "")
        )
        return hint
    return key_raw.decode("ascii")


def _number_of(value_raw: bytes, reasons: List[str]) -> Tuple[bytes, bytes, bytes, bytes, bytes]:
    """(sign, mantissa, exponent letter, exponent, text after the number) of the
    text after '='; why the engine does not read it as a value goes to `reasons`
    (the text after a value that is no number at all is not looked at)."""
    number_match = NUMBER.match(value_raw)
    assert number_match is not None  # every part of NUMBER is optional
    sign, mantissa, echar, exponent = (number_match.group(i) for i in range(1, 5))
    rest = value_raw[number_match.end():].lstrip(WS_CHARS)
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
    return sign, mantissa, echar, exponent, rest


def _after_value(rest: bytes) -> Optional[str]:
    """Why the text after a value makes the engine skip the line, or None when there is none."""
    if rest.startswith(COMMENT_STARTS):
        return ("a comment after the value: the engine skips the whole line, not only the comment; "
                "put the comment on a line of its own")
    if rest.startswith(b"="):
        return "more than one '='"
    if rest.startswith(b","):
        return "a comma in the value: the decimal separator is a full stop, one value per line"
    if rest:
        return f"text after the value: {show(rest)!r}"
    return None


def diagnose(path: PathLike) -> FileReport:
    """Reads `path` line by line as the engine does and records every kept
    line, every skipped line that looks like a setting (with the reasons),
    duplicate, unknown and missing keys. Raises OSError when the file cannot be
    read, ValueError when it is longer than a parameter file can be (1 MiB)."""
    name = os.fspath(path)
    data = read_regular(name, "parameter file", PARAMETER_FILE_BYTES)
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
