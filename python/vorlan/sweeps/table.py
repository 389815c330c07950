"""The results of a sweep: one log (``<run>.npz``) and one summary
(``<run>.json``) per finished run in the results directory, each written under a
temporary name and renamed, the log first, so that a summary on disk always
belongs to a complete log; and the table of the runs (pandas) read from them.
"""

from __future__ import annotations

import json
import os
import re
from typing import Any, Dict, List, Mapping, Sequence, Union

import numpy as np

from .._optional import require
from ..analysis import OBSERVABLES
from ..io.atomic import replace_atomically

__all__ = ["save_run", "load_summaries", "table", "read_sweep", "average_replicas", "RUN_COLUMNS"]

# Columns every row has besides the varied settings, in table order.
RUN_COLUMNS = ("replica", "seed", "status", "message", "wall_time", "nrsteps", "nr_particles", "rho", "rho_err")


def _pandas() -> Any:
    return require("pandas", extra="sweep", purpose="the table of a sweep")


def _value_number(text: str) -> Union[int, float, str]:
    """A setting's text as the number a table column holds."""
    if re.fullmatch(r"[0-9]+", text):
        return int(text)
    try:
        return float(text)
    except ValueError:
        return text


def save_run(results: str, outcome: Mapping[str, Any]) -> None:
    summary = outcome["summary"]
    base = os.path.join(results, summary["name"])
    if outcome["log"]:
        with replace_atomically(base + ".npz") as tmp, open(tmp, "wb") as f:
            np.savez(f, **outcome["log"])
    with replace_atomically(base + ".json") as tmp, open(tmp, "w", encoding="utf-8") as f:
        json.dump(summary, f, indent=1, allow_nan=False)
        f.write("\n")


def load_summaries(results: str) -> List[Dict[str, Any]]:
    summaries = []
    for name in sorted(os.listdir(results)):
        if re.fullmatch(r"p\d+-r\d+\.json", name):
            with open(os.path.join(results, name), encoding="utf-8") as f:
                summaries.append(json.load(f))
    return summaries


def table(summaries: Sequence[Mapping[str, Any]], varied: Sequence[str]) -> Any:
    pd = _pandas()

    rows = []
    for s in sorted(summaries, key=lambda s: (s["point"], s["replica"])):
        row: Dict[str, Any] = {key: _value_number(s["varied"][key]) if key in s["varied"] else None for key in varied}
        row.update(
            replica=s["replica"],
            seed=s["seed"],
            status=s["status"],
            message=s["message"],
            wall_time=s["wall_time"],
            nrsteps=int(s["parameters"]["nrsteps"]),
            nr_particles=s.get("nr_particles"),
            rho=s.get("rho"),
            rho_err=s.get("rho_err", 0.0),
        )
        for name in OBSERVABLES:
            row[name] = s.get(name)
            row[name + "_err"] = s.get(name + "_err")
        rows.append(row)
    columns = list(varied) + list(RUN_COLUMNS) + [c for name in OBSERVABLES for c in (name, name + "_err")]
    out = pd.DataFrame(rows, columns=columns)
    for c in ["rho", "rho_err"] + [c for name in OBSERVABLES for c in (name, name + "_err")]:
        out[c] = out[c].astype(float)
    out["nr_particles"] = out["nr_particles"].astype("Int64")
    return out


def read_sweep(results: Union[str, os.PathLike] = "sweep/"):
    """The table of the runs recorded in a results directory (as ``sweep``
    returns it), read from their summaries."""
    results = os.fspath(results)
    if not os.path.isdir(results):
        raise FileNotFoundError(f"No sweep results in {results!r}: the directory does not exist")
    summaries = load_summaries(results)
    if not summaries:
        raise FileNotFoundError(f"No sweep results in {results!r}: no run summaries (p0000-r00.json, ...) found")
    varied: List[str] = []
    for s in sorted(summaries, key=lambda s: (s["point"], s["replica"])):
        for key in s["varied"]:
            if key not in varied:
                varied.append(key)
    return table(summaries, varied)


def average_replicas(table: Any) -> Any:
    """One row per grid point: the mean over its finished replicas of T, u, P
    and e, with the standard error of that mean from the runs' own errors
    (sqrt(sum err^2) / n, the replicas being independent), and the number n of
    replicas that finished."""
    pd = _pandas()

    ok = table[table["status"] == "ok"]
    keys = [c for c in table.columns if c not in RUN_COLUMNS and c not in OBSERVABLES and not c.endswith("_err")]
    rows = []
    groups = ok.groupby(keys, sort=False, dropna=False) if keys else [((), ok)]
    for key, group in groups:
        key = key if isinstance(key, tuple) else (key,)
        row = dict(zip(keys, key))
        row["replicas"] = len(group)
        row["rho"] = float(group["rho"].mean())
        row["rho_err"] = float(np.sqrt(np.sum(group["rho_err"] ** 2)) / len(group))
        for name in OBSERVABLES:
            row[name] = float(group[name].mean())
            row[name + "_err"] = float(np.sqrt(np.sum(group[name + "_err"] ** 2)) / len(group))
        rows.append(row)
    return pd.DataFrame(rows, columns=keys + ["replicas", "rho", "rho_err"] + [c for n in OBSERVABLES for c in (n, n + "_err")])
