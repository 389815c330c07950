"""Long-lived worker of the fuzzer: runs ``Vorlan().simulate(path)`` for each path
read from standard input and answers with one JSON line per run.

The engine runs here and not in the fuzzer's process, so that a segmentation fault,
an abort or a hang of the engine ends only this process: the fuzzer sees the signal
or the time-out, records the input and starts a new worker.

Replay one file in the foreground (for a debugger: ``gdb --args python worker.py F``):

    python fuzz/worker.py FILE...
"""
from __future__ import annotations

import faulthandler
import json
import os
import sys

faulthandler.enable()  # a fatal signal prints the Python stack to stderr

import numpy as np  # noqa: E402

from vorlan.vorlan import Vorlan  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import judge  # noqa: E402

RESULT_KEYS = ("ekin", "epot", "etot", "nrsteps", "nrparticles",
               "positions", "velocities", "positions_initial", "velocities_initial")


def check_result(r, cell_length=None) -> list:
    """What is wrong with a result of simulate(): an empty list when nothing is.
    The lattice sites (positions_initial) must lie inside the box of edge cell_length."""
    if not isinstance(r, dict):
        return ["result is a %s, not a dict" % type(r).__name__]
    if tuple(r) != RESULT_KEYS:
        return ["result keys %r, expected %r" % (tuple(r), RESULT_KEYS)]
    problems = []
    n, steps = r["nrparticles"], r["nrsteps"]
    if type(n) is not int or type(steps) is not int:
        problems.append("nrparticles %r, nrsteps %r are not both int" % (n, steps))
        return problems
    for key in ("ekin", "epot", "etot"):
        series = np.asarray(r[key], dtype=float)
        if series.shape != (steps,):
            problems.append("%s has shape %s, expected (%d,)" % (key, series.shape, steps))
        bad = np.flatnonzero(~np.isfinite(series))
        if bad.size:
            problems.append("non-finite %s: %r after step %d (%d of %d values)"
                            % (key, float(series[bad[0]]), bad[0] + 1, bad.size, series.size))
    for key in RESULT_KEYS[5:]:
        a = r[key]
        if not isinstance(a, np.ndarray) or a.dtype != np.float64 or a.shape != (n, 3):
            problems.append("%s is %s %s, expected float64 (%d, 3)"
                            % (key, type(a).__name__, getattr(a, "shape", "?"), n))
            continue
        bad = np.argwhere(~np.isfinite(a))
        if bad.size:
            i, c = bad[0]
            problems.append("non-finite %s: %r at particle %d, component %d (%d values)"
                            % (key, float(a[i, c]), i, c, len(bad)))
    sites = r["positions_initial"]
    if cell_length is not None and isinstance(sites, np.ndarray) and sites.size:
        outside = np.argwhere(~((sites > 0.0) & (sites < cell_length)))  # sites are cell-centred
        if outside.size:
            i, c = outside[0]
            problems.append("lattice site outside the box: positions_initial[%d, %d] = %r, "
                            "cell_length = %r (%d values)" % (i, c, float(sites[i, c]), cell_length, len(outside)))
    return problems


def cell_length_of(path: str):
    """cell_length as the engine reads it from the file, or None."""
    try:
        with open(path, "rb") as f:
            value = judge.read(f.read()).get("cell_length", (0, ""))[1]
        return float(value)
    except (OSError, ValueError):
        return None


def run(path: str) -> dict:
    try:
        r = Vorlan().simulate(path)
    except BaseException as e:  # every exception is reported; the fuzzer judges it
        return {"raised": [c.__name__ for c in type(e).__mro__], "message": str(e)}
    return {"problems": check_result(r, cell_length_of(path)), "nrparticles": r.get("nrparticles") if isinstance(r, dict) else None}


def serve() -> None:
    # The answers go to a private copy of the standard output; whatever the engine
    # or a library prints to file descriptor 1 goes to standard error instead.
    out = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)
    out.write('{"ready": true}\n')
    for line in sys.stdin:
        out.write(json.dumps(run(line.rstrip("\n"))) + "\n")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        for name in sys.argv[1:]:
            print(name, json.dumps(run(name)))
    else:
        serve()
