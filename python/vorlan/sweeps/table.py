"""The results of a sweep: one log (``<run>.npz``) and one summary
(``<run>.json``) per finished run in the results directory, each written under a
temporary name and renamed, the log first, so that a summary on disk always
belongs to a complete log; and the table of the runs (pandas) read from them.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import re
import warnings
from typing import Any, Dict, List, Mapping, Optional, Sequence, Union

import numpy as np

from .._optional import require
from ..analysis import OBSERVABLES
from ..io.atomic import replace_atomically
from ..io.files import SUMMARY_BYTES, read_regular

__all__ = ["save_run", "save_manifest", "fingerprint", "MANIFEST", "load_summaries", "summary_problem", "DamagedResultWarning", "table", "read_sweep",
           "average_replicas", "RUN_COLUMNS"]

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


# The runs of the sweep that last used a results directory: name -> fingerprint.
MANIFEST = "sweep.json"


def fingerprint(run: Mapping[str, Any]) -> str:
    """What makes a run the run it is (settings, seed, ensemble, the digest of
    its system), as a hash: a task and the summary of its run share it."""
    key = [run["parameters"], run["seed"], run.get("ensemble", ""), run.get("inputs")]
    return hashlib.sha256(json.dumps(key, sort_keys=True).encode()).hexdigest()[:32]


def save_manifest(results: str, tasks: Sequence[Mapping[str, Any]]) -> None:
    """Records which runs make up the sweep in `results`, so that a reader of
    the directory leaves out summaries that belong to no run of it."""
    with replace_atomically(os.path.join(results, MANIFEST)) as tmp, open(tmp, "w", encoding="utf-8") as f:
        json.dump({"runs": {t["name"]: fingerprint(t) for t in tasks}}, f, indent=1)
        f.write("\n")


def _manifest(results: str) -> Optional[Dict[str, str]]:
    path = os.path.join(results, MANIFEST)
    if not os.path.exists(path):
        return None
    try:
        data = json.loads(read_regular(path, "sweep manifest", SUMMARY_BYTES).decode("utf-8"))
        runs = data["runs"]
        if not (isinstance(runs, dict) and all(isinstance(v, str) for v in runs.values())):
            raise ValueError("no mapping of run names to fingerprints")
    except (OSError, ValueError, KeyError, TypeError) as e:
        warnings.warn(f"{path} is not a sweep manifest ({e}); every run summary is read", DamagedResultWarning,
                      stacklevel=3)
        return None
    return runs


def _no_constant(text: str) -> Any:
    raise ValueError(f"it holds {text}, which no finished run reports")


class DamagedResultWarning(UserWarning):
    """A run summary in a results directory that cannot be read (truncated by a
    crash, edited, not written by a sweep): the run counts as not done."""


def _number(x: Any) -> bool:
    """A finite JSON number (1e999 reads as inf: no run reports it)."""
    return isinstance(x, (int, float)) and not isinstance(x, bool) and math.isfinite(x)


def _texts(x: Any) -> bool:
    return isinstance(x, dict) and all(isinstance(k, str) and isinstance(v, str) for k, v in x.items())


def summary_problem(s: Any, name: str) -> Optional[str]:
    """Why `s`, read from `name`.json, is not the summary of run `name` as
    save_run writes it, or None."""
    if not isinstance(s, dict):
        return f"it holds a JSON {type(s).__name__}, not an object"
    kinds = {"name": str, "point": int, "replica": int, "seed": int, "status": str, "message": str}
    for key, kind in kinds.items():
        if not isinstance(s.get(key), kind) or isinstance(s.get(key), bool):
            return f"no {kind.__name__} {key!r}"
    if s["name"] != name:
        return f"it names the run {s['name']!r}"
    if not _number(s.get("wall_time")):
        return "no number 'wall_time'"
    for key in ("parameters", "varied"):
        if not _texts(s.get(key)):
            return f"{key!r} is not a mapping of setting names to value texts"
    if s.get("inputs") is not None and not isinstance(s["inputs"], str):
        return "'inputs' is not a digest"
    if not re.fullmatch(r"[0-9]+", s["parameters"].get("nrsteps", "")):
        return "its parameters have no nrsteps"
    numbers = ["nr_particles", "rho"] + [c for n in OBSERVABLES for c in (n, n + "_err")]
    for key in numbers:
        if s.get(key) is not None and not _number(s[key]):
            return f"{key!r} is not a number"
    if s["status"] == "ok" and any(s.get(key) is None for key in numbers):
        return "a finished run without its averages"
    return None


def load_summaries(results: str, damaged: str = "its run is done again") -> List[Dict[str, Any]]:
    """The run summaries in the directory `results`. A summary that cannot be
    read is left out with a DamagedResultWarning naming the file and saying
    `damaged` (what becomes of its run)."""
    summaries = []
    for name in sorted(os.listdir(results)):
        if not re.fullmatch(r"p\d+-r\d+\.json", name):
            continue
        path = os.path.join(results, name)
        try:
            s = json.loads(read_regular(path, "run summary", SUMMARY_BYTES).decode("utf-8"),
                           parse_constant=_no_constant)
            problem = summary_problem(s, name[:-len(".json")])
        except (OSError, ValueError) as e:  # JSONDecodeError and UnicodeDecodeError are ValueErrors
            problem = str(e)
        if problem is not None:
            warnings.warn(f"{path} is not a run summary ({problem}); {damaged}", DamagedResultWarning, stacklevel=2)
            continue
        summaries.append(s)
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
    summaries = load_summaries(results, damaged="it is left out")
    runs = _manifest(results)
    if runs is not None:
        for s in [s for s in summaries if runs.get(s["name"]) != fingerprint(s)]:
            warnings.warn(f"{os.path.join(results, s['name'] + '.json')} is not a run of the sweep recorded in "
                          f"{MANIFEST} (another sweep's, or made with other settings); it is left out",
                          DamagedResultWarning, stacklevel=2)
            summaries.remove(s)
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
