"""LAMMPS data files read as a start: the header's counts and box, the Masses,
Atoms and Velocities sections, every number as written.

A data file is a title line, a header of ``<count> <keyword>`` and ``lo hi
xlo xhi`` lines, then sections, each a keyword line followed by one line per
entry::

    LAMMPS data file
    4 atoms
    2 atom types
    0 6 xlo xhi
    ...
    Masses

    1 1.0
    2 0.5

    Atoms # atomic

    1 1 0.5 0.5 0.5 0 0 0
    ...

Atom lines are ``id type x y z`` (atomic), ``id type q x y z`` (charge), ``id
mol type x y z`` (molecular) or ``id mol type q x y z`` (full), each optionally
followed by three image flags; the style is the comment after ``Atoms``, or
told by the number of columns (5 or 8 atomic, 7 or 10 full). Sections other
than these three (Bonds, Pair Coeffs, ...) are skipped. The numbers are taken
as written, in the file's units: a ``units lj`` file is in reduced units.
Particles are ordered by id. Every fault is a ValueError naming the file and
the line.
"""

from __future__ import annotations

import math
import re
from typing import Dict, List, NamedTuple, Optional, Tuple

import numpy as np

__all__ = ["LammpsData", "parse_lammps_data"]

# Columns of an atom line before the image flags, and where type and x are.
ATOM_STYLES: Dict[str, Tuple[int, int, int]] = {  # style -> (columns, type column, x column)
    "atomic": (5, 1, 2),
    "charge": (6, 1, 3),
    "molecular": (6, 2, 3),
    "full": (7, 2, 4),
}

# Header lines that carry a count, and the box lines.
_COUNTS = ("atoms", "bonds", "angles", "dihedrals", "impropers", "atom types", "bond types", "angle types",
           "dihedral types", "improper types", "extra bond per atom", "extra angle per atom",
           "extra dihedral per atom", "extra improper per atom", "extra special per atom", "ellipsoids",
           "lines", "triangles", "bodies")
_BOX = ("xlo xhi", "ylo yhi", "zlo zhi")
_NUMBER = re.compile(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")


class LammpsData(NamedTuple):
    """What a data file holds for a start (N particles ordered by id)."""

    positions: np.ndarray             # (N, 3) relative to the box's lower corner (xlo, ylo, zlo)
    box: np.ndarray                   # (3,) sides xhi - xlo, ...
    types: np.ndarray                 # (N,) LAMMPS type numbers 1 .. atom types
    masses: Optional[Dict[int, float]]  # type -> mass from the Masses section, None without one
    velocities: Optional[np.ndarray]  # (N, 3), None without a Velocities section


def _number(text: str, where: str, what: str) -> float:
    if not _NUMBER.fullmatch(text):
        raise ValueError(f"{where}: {what} {text!r} is not a number")
    x = float(text)
    if not math.isfinite(x):
        raise ValueError(f"{where}: {what} {text} is beyond the range of a double")
    return x


def _integer(text: str, where: str, what: str, low: int, high: Optional[int] = None) -> int:
    if not re.fullmatch(r"[-+]?\d+", text):
        raise ValueError(f"{where}: {what} {text!r} is not an integer")
    k = int(text)
    if k < low or (high is not None and k > high):
        allowed = f"{low} to {high}" if high is not None else f"at least {low}"
        raise ValueError(f"{where}: {what} {k} is not allowed ({allowed})")
    return k


def _header(lines: List[str], name: str) -> Tuple[Dict[str, int], Dict[str, Tuple[float, float]], int]:
    """The counts and box bounds of the header, and the index of the first
    section line."""
    counts: Dict[str, int] = {}
    bounds: Dict[str, Tuple[float, float]] = {}
    i = 1  # the first line is the title
    while i < len(lines):
        text = lines[i].split("#", 1)[0].strip()
        where = f"{name}, line {i + 1}"
        if not text:
            i += 1
            continue
        words = text.split()
        if not _NUMBER.fullmatch(words[0]):
            break  # a section keyword: the header is over
        keyword = " ".join(w for w in words if not _NUMBER.fullmatch(w))
        values = [w for w in words if _NUMBER.fullmatch(w)]
        if keyword in _COUNTS and len(values) == 1:
            counts[keyword] = _integer(values[0], where, keyword, 0)
        elif keyword in _BOX and len(values) == 2:
            bounds[keyword] = (_number(values[0], where, keyword.split()[0]), _number(values[1], where, keyword.split()[1]))
        elif keyword == "xy xz yz" and len(values) == 3:
            tilt = [_number(v, where, "tilt") for v in values]
            if any(tilt):
                raise ValueError(f"{where}: the box is tilted (xy xz yz = {tilt}); only orthorhombic boxes are "
                                 "supported")
        else:
            raise ValueError(f"{where}: {text[:60]!r} is not a header line of a data file")
        i += 1
    for key in ("atoms", "atom types"):
        if key not in counts:
            raise ValueError(f"{name}: the header has no '{key}' line; is this a LAMMPS data file?")
    if counts["atoms"] and counts["atom types"] < 1:
        raise ValueError(f"{name}: {counts['atoms']} atoms of 0 atom types")
    for key in _BOX:
        if key not in bounds:
            raise ValueError(f"{name}: the header has no '{key}' line: the box is needed")
        lo, hi = bounds[key]
        if not hi > lo:
            raise ValueError(f"{name}: {key} = {lo} {hi} is not allowed: the upper bound must exceed the lower")
    return counts, bounds, i


def _sections(lines: List[str], first: int, name: str) -> Dict[str, Tuple[str, List[Tuple[int, List[str]]]]]:
    """keyword -> (the comment of its keyword line, [(line number, fields)])."""
    out: Dict[str, Tuple[str, List[Tuple[int, List[str]]]]] = {}
    current: Optional[List[Tuple[int, List[str]]]] = None
    for i in range(first, len(lines)):
        text, _, comment = lines[i].partition("#")
        words = text.split()
        if not words:
            continue
        if _NUMBER.fullmatch(words[0]):
            if current is None:
                raise ValueError(f"{name}, line {i + 1}: a number outside any section")
            current.append((i + 1, words))
            continue
        keyword = " ".join(words)
        if keyword in out:
            raise ValueError(f"{name}, line {i + 1}: a second {keyword} section")
        current = []
        out[keyword] = (comment.strip(), current)
    return out


def _atom_style(comment: str, rows: List[Tuple[int, List[str]]], name: str) -> str:
    style = comment.split()[0] if comment.split() else ""
    if style:
        if style not in ATOM_STYLES:
            raise ValueError(f"{name}: Atoms # {style}: the atom styles read are {', '.join(ATOM_STYLES)}")
        return style
    width = len(rows[0][1]) if rows else 5
    by_width = {5: "atomic", 8: "atomic", 7: "full", 10: "full"}
    if width not in by_width:
        raise ValueError(f"{name}, line {rows[0][0]}: {width} columns do not tell the atom style; write it after "
                         "the section name (Atoms # charge, Atoms # molecular, ...)")
    return by_width[width]


def _by_id(rows: List[Tuple[int, List[str]]], n: int, section: str, name: str) -> Dict[int, Tuple[int, List[str]]]:
    if len(rows) != n:
        raise ValueError(f"{name}: the header declares {n} atoms, the {section} section has {len(rows)} lines")
    out: Dict[int, Tuple[int, List[str]]] = {}
    for line, words in rows:
        k = _integer(words[0], f"{name}, line {line}", "atom id", 1)
        if k in out:
            raise ValueError(f"{name}, line {line}: atom id {k} is given twice in {section} (also line {out[k][0]})")
        out[k] = (line, words)
    return out


def parse_lammps_data(text: str, name: str) -> LammpsData:
    """The start held by the text of the data file `name` (see the module text)."""
    lines = text.splitlines()
    if not lines:
        raise ValueError(f"{name}: the file is empty")
    counts, bounds, first = _header(lines, name)
    n, ntypes = counts["atoms"], counts["atom types"]
    sections = _sections(lines, first, name)
    lo = np.array([bounds[k][0] for k in _BOX])
    box = np.array([bounds[k][1] for k in _BOX]) - lo
    if "Atoms" not in sections:
        if n:
            raise ValueError(f"{name}: the header declares {n} atoms, but there is no Atoms section")
        sections["Atoms"] = ("", [])
    comment, rows = sections["Atoms"]
    style = _atom_style(comment, rows, name)
    columns, tcol, xcol = ATOM_STYLES[style]
    atoms = _by_id(rows, n, "Atoms", name)
    ids = sorted(atoms)
    positions = np.empty((n, 3))
    types = np.empty(n, dtype=np.int64)
    for k, atom in enumerate(ids):
        line, words = atoms[atom]
        where = f"{name}, line {line}"
        if len(words) not in (columns, columns + 3):
            raise ValueError(f"{where}: {len(words)} columns; an atom line of style {style} has {columns} "
                             f"(or {columns + 3} with image flags)")
        types[k] = _integer(words[tcol], where, "atom type", 1, ntypes)
        positions[k] = [_number(w, where, "coordinate") for w in words[xcol:xcol + 3]]
    masses: Optional[Dict[int, float]] = None
    if "Masses" in sections:
        masses = {}
        for line, words in sections["Masses"][1]:
            where = f"{name}, line {line}"
            if len(words) != 2:
                raise ValueError(f"{where}: a Masses line is 'type mass', got {len(words)} columns")
            t = _integer(words[0], where, "atom type", 1, ntypes)
            if t in masses:
                raise ValueError(f"{where}: the mass of type {t} is given twice")
            m = _number(words[1], where, f"the mass of type {t}")
            if not m > 0.0:
                raise ValueError(f"{where}: the mass of type {t} is {m}; a mass must be positive")
            masses[t] = m
        missing = sorted(set(int(t) for t in types) - set(masses))
        if missing:
            raise ValueError(f"{name}: the Masses section gives no mass for type(s) {missing}")
    velocities = None
    if "Velocities" in sections:
        given = _by_id(sections["Velocities"][1], n, "Velocities", name)
        velocities = np.empty((n, 3))
        for k, atom in enumerate(ids):
            if atom not in given:
                extra = sorted(set(given) - set(atoms))[0]
                raise ValueError(f"{name}, line {given[extra][0]}: Velocities names atom id {extra}, which has no "
                                 "Atoms line")
            line, words = given[atom]
            if len(words) != 4:
                raise ValueError(f"{name}, line {line}: a Velocities line is 'id vx vy vz', got {len(words)} columns")
            velocities[k] = [_number(w, f"{name}, line {line}", "velocity") for w in words[1:]]
    return LammpsData(positions - lo, box, types, masses, velocities)
