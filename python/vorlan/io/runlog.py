"""The run log of ``vorlan run --log``: a header of ``# key = value`` lines, then
a CSV table with one row per step (step, time, ekin, epot, etot, temperature,
and the pressure where it was sampled, else an empty field; where the axes
differ, the pressure tensor's diagonal pxx, pyy, pzz at the same samples, and
the work of each external field, work_NAME, where it is known)."""

from __future__ import annotations

import csv
import io
import math
import os
from typing import Dict, Mapping, Tuple, Union

import numpy as np

from .atomic import replace_atomically
from .files import LOG_BYTES, open_regular

__all__ = ["LOG_COLUMNS", "write_log", "read_log"]

PathLike = Union[str, "os.PathLike[str]"]

LOG_COLUMNS = ("step", "time", "ekin", "epot", "etot", "temperature", "pressure", "conserved", "volume",
               "pxx", "pyy", "pzz")
# Columns of a field's work: this prefix and the field's name.
WORK_PREFIX = "work_"


def write_log(path: PathLike, columns: Mapping[str, np.ndarray], meta: Mapping[str, object]) -> str:
    """Writes the run log: `meta` as ``# key = value`` lines, then a CSV table
    with the columns of LOG_COLUMNS present in `columns`, then the work_NAME
    ones in their order (equal lengths; NaN is
    written as an empty field, e.g. steps without a pressure sample). Numbers
    are written with all their digits. The file is replaced whole (temporary
    file, then rename), so an interrupted write leaves the previous one."""
    name = os.fspath(path)
    names = [c for c in LOG_COLUMNS if c in columns] + [c for c in columns if c.startswith(WORK_PREFIX)]
    data = [np.asarray(columns[c]) for c in names]
    with replace_atomically(name) as tmp, open(tmp, "w", newline="") as f:
        for key, value in meta.items():
            f.write(f"# {key} = {value}\n")
        w = csv.writer(f, lineterminator="\n")
        w.writerow(names)
        for row in zip(*data):
            w.writerow(["" if isinstance(x, float) and math.isnan(x) else repr(x) for x in (v.item() for v in row)])
    return name


def read_log(path: PathLike) -> Tuple[Dict[str, np.ndarray], Dict[str, str]]:
    """Reads a run log: (columns name -> float64 array, NaN for empty fields;
    meta key -> text). Raises ValueError when the file is not such a log (or
    longer than 1 GiB), OSError when it is not a regular file that can be read."""
    name = os.fspath(path)
    meta: Dict[str, str] = {}
    rows = []
    header = None
    with io.TextIOWrapper(open_regular(name, "run log", LOG_BYTES), newline="") as f:
        for number, line in enumerate(f, start=1):
            if line.startswith("#"):
                key, eq, value = line[1:].partition("=")
                if eq:
                    meta[key.strip()] = value.strip()
                continue
            if not line.strip():
                continue
            try:
                fields = next(csv.reader([line]))
            except csv.Error as e:  # a NUL byte, an unterminated quote
                raise ValueError(f"{name}, line {number}: {e}") from None
            if header is None:
                header = [h.strip() for h in fields]
                if "step" not in header:
                    raise ValueError(f"{name}: not a vorlan run log (no 'step' column in line {number})")
                continue
            if len(fields) != len(header):
                raise ValueError(f"{name}, line {number}: {len(fields)} fields, the header has {len(header)}")
            try:
                rows.append([float(x) if x.strip() else math.nan for x in fields])
            except ValueError as e:
                raise ValueError(f"{name}, line {number}: {e}") from None
    if header is None:
        raise ValueError(f"{name}: empty, not a vorlan run log")
    table = np.array(rows, dtype=np.float64).reshape(len(rows), len(header))
    return {h: table[:, i] for i, h in enumerate(header)}, meta
