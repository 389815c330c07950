#!/usr/bin/env python3
"""Pairs listed per particle, list-build share and speed: vorlan against LAMMPS.

Two systems at N = 32768 on a simple cubic start: the one-species bench liquid
of bench.py (density 0.8442, kT 1.44, rcut 2.5, shell 0.3) and the Kob-Andersen
80:20 mixture of ka_lammps.py (density 1.2, T 1, cut-offs 2.5 s_ab, shell 0.3).
For each, in alternating rounds: vorlan (one or more builds of the package, so
that a change can be timed before and after on the same machine state) on 1
and 2 threads, and Debian's ``lmp`` (``-sf opt``, on 1 rank and on 2 ranks).

    python3 bench/list_reach.py --builds before=/tmp/old/python,after=build/cmake/python
    python3 bench/list_reach.py --steps 100 --rounds 1 --threads 1

Printed per system and code: atom-steps/s (median of the rounds), the pairs
listed per particle, and the share of a step spent building the list. vorlan
lists every pair in both particles' runs (a full list): its count is the
list's entries less the N starts and N terminators, over N, after the run.
LAMMPS lists each pair once (a half list): its "Ave neighs/atom" is doubled to
compare. Beside the wall-clock rate, the rate per CPU second of the process
(LAMMPS: loop time times its reported CPU use), which other work on the
machine disturbs less. The build share is the time vorlan's own clock counts in
list builds over the run's wall time (vorlan._core.list_build_seconds), and
LAMMPS's "Neigh" share of its loop time. The load average stands beside each row: the
machine may be shared, and rates taken under load are not comparable.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from benchlib import find_debian_lammps, lammps_script, loadavg, run_vorlan  # noqa: E402
from benchlib import run_lammps as lammps_log  # noqa: E402

SIDE = 32  # N = 32^3


def vorlan_run(path, system, steps, threads):
    r = run_vorlan(system, SIDE, steps, threads, path=path, count_pairs=True)
    return r | {"share": r["build_share"]}


def lammps_run(lmp, workdir, system, steps, ranks):
    r = lammps_log(workdir, lmp, lammps_script(workdir, system, SIDE, steps), ranks, 1, ["-sf", "opt"])
    return r | {"share": r["build_share"]}


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--builds", default="vorlan=" + os.environ.get("PYTHONPATH", ""),
                    help="name=path,... of vorlan packages to compare (default: the importable one)")
    ap.add_argument("--steps", type=int, default=200)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--systems", default="lj,ka")
    ap.add_argument("--no-lammps", action="store_true")
    args = ap.parse_args(argv)
    builds = [tuple(b.split("=", 1)) for b in args.builds.split(",")]
    threads = [int(t) for t in args.threads.split(",")]
    lmp = None if args.no_lammps else find_debian_lammps(None)
    print(f"N = {SIDE ** 3}, {args.steps} steps, median of {args.rounds} alternating round(s); "
          f"{'Debian lmp -sf opt' if lmp else 'no LAMMPS'}")
    for system in args.systems.split(","):
        name = "one species (bench liquid)" if system == "lj" else "Kob-Andersen (density 1.2, T 1)"
        rows = {}
        with tempfile.TemporaryDirectory() as tmp:
            if system == "ka" and lmp:
                sys.path.insert(0, os.path.abspath(builds[-1][1]))
            for _ in range(args.rounds):
                for t in threads:
                    for tag, path in builds:
                        rows.setdefault((tag, t), []).append(vorlan_run(path, system, args.steps, t) | {
                            "load": loadavg()})
                    if lmp and (t == 1 or lmp.mpi):
                        rows.setdefault(("lmp -sf opt", t), []).append(
                            lammps_run(lmp, tmp, system, args.steps, t) | {"load": loadavg()})
        print(f"\n{name}")
        print(f"  {'code':<14}{'threads':>8}{'M a-steps/s':>13}{'per CPU s':>11}{'pairs/part':>12}{'build %':>9}"
              "   load average")
        for (tag, t), runs in rows.items():
            rate = statistics.median(r["rate"] for r in runs)
            cpu_rate = statistics.median(r["cpu_rate"] for r in runs)
            share = runs[-1]["share"]
            print(f"  {tag:<14}{t:>8}{rate / 1e6:13.2f}{cpu_rate / 1e6:11.2f}{runs[-1]['pairs']:12.1f}"
                  f"{'-' if share is None else '%.1f' % (100 * share):>9}   {', '.join(r['load'] for r in runs)}")


if __name__ == "__main__":
    main(sys.argv[1:])
